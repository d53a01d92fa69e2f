#!/usr/bin/env python3
"""Writes the seed corpus of dialogue_fuzz into corpus/ next to this file.

Each seed replays one transcript of tests/protocol/protocol_engine_test.cpp
(the device's answers, the ticks, the set requests, the closes and reopens,
in the same order) in the fuzzer's script format, which dialogue_fuzz.cpp
describes. A few more seeds start the fuzzer off at the edges the transcripts
only touch: rate texts with a NUL, non-ASCII, 99 and 254 bytes or a null
pointer, a burst past the 512 bytes the accumulator keeps, and long runs of
ticks with the port closed in between.

Run it again after changing the script format or the transcripts:
    python3 tests/fuzz/make_corpus.py
"""
import os

DEVICE, TICK, TICKS, NEXT_POLL, SET, CLOSE, OPEN, CANNED = range(8)
NULL_RATE = 255
CANNED_REPLIES = [b"OK\r\n", b"ERROR\r\n", b"V2.1\r\n", b"9600\r\n", b"14400\r\n",
                  b"19200\r\n", b"38400\r\n", b"56000\r\n", b"57600\r\n", b"115200\r\n",
                  b"\r\n", b"+BAUD:9600\r\n"]
RATES = [b"9600", b"14400", b"19200", b"38400", b"56000", b"57600", b"115200"]


def answers(data):
    """The device sends `data`, in pieces of at most 255 bytes."""
    out = b""
    for at in range(0, len(data), 255):
        piece = data[at:at + 255]
        out += bytes([DEVICE, len(piece)]) + piece
    return out or bytes([DEVICE, 0])


def tick(count=1):
    if count == 1:
        return bytes([TICK])
    assert 1 <= count <= 300
    return bytes([TICKS, (count - 1) % 256, (count - 1) // 256])


def until_poll():
    """Dialogue::UntilPoll: thirty ticks."""
    return tick(30)


def request(rate):
    if rate is None:
        return bytes([SET, NULL_RATE])
    assert len(rate) < NULL_RATE
    return bytes([SET, len(rate)]) + rate


def reopen():
    """Dialogue::Reopen: the panel closes, the port and the panel open again."""
    return bytes([CLOSE, OPEN])


def canned(reply):
    return bytes([CANNED, CANNED_REPLIES.index(reply)])


def reach_ready(version=b"V2.1\r\n", rate=b"9600\r\n"):
    return answers(version) + until_poll() + answers(rate) + until_poll()


def seeds():
    s = {}
    # PollPacing
    s["first_command_on_30th_tick"] = tick(29) + tick() + tick(29) + tick()
    s["opening_again_restarts_poll_count"] = tick(20) + reopen() + tick(29) + tick()
    # VersionAndRate
    s["version_then_rate_query"] = (answers(b"V2.1\r\n") + until_poll() +
                                    answers(b"115200\r\n") + until_poll())
    s["query_repeated_until_answered"] = answers(b"V2.1\r\n") + until_poll() * 3
    not_a_rate = [b"+BAUD:9600\r\n", b"9600 \r\n", b"960\r\n", b"96000\r\n",
                  b"9600\0garbage\r\n", b"\r\n"]
    for number, answer in enumerate(not_a_rate):
        s[f"answer_not_a_rate_{number}"] = (answers(b"V1\r\n") + until_poll() +
                                            answers(answer) + until_poll())
    for index, rate in enumerate(RATES):
        s[f"table_entry_{index}"] = (answers(b"V1\r\n") + until_poll() +
                                     answers(rate + b"\r\n") + until_poll())
    # SetBaud
    s["set_then_ok"] = (reach_ready() + request(b"57600") + tick(29) + tick() +
                        answers(b"OK\r\n") + until_poll())
    set_answers = [b"OK\r\n", b"OKAY\r\n", b"ok\r\n", b"ERROR\r\n", b"\r\n", b" OK\r\n"]
    for number, answer in enumerate(set_answers):
        s[f"set_answer_{number}"] = (reach_ready() + request(b"19200") + until_poll() +
                                     answers(answer) + until_poll())
    s["set_repeated_until_answered"] = reach_ready() + request(b"38400") + until_poll() * 2
    s["shorter_rate_after_longer"] = (reach_ready() + request(b"115200") + until_poll() +
                                      answers(b"OK\r\n") + until_poll() + request(b"57600") +
                                      until_poll())
    s["two_requests_one_poll"] = (reach_ready() + request(b"115200") + request(b"14400") +
                                  until_poll())
    s["line_before_poll_old_state"] = (reach_ready() + answers(b"OK\r\n") + request(b"56000") +
                                       until_poll() + answers(b"ERROR\r\n") + until_poll())
    s["overlong_rate_cut"] = reach_ready() + request(b"7" * 254) + until_poll()
    s["reset_drops_pending_request"] = (reach_ready() + request(b"57600") + reopen() +
                                        until_poll())
    # LinkWatchdog
    s["lost_at_fifth_silent_poll"] = reach_ready() + until_poll() * 4 + tick(29) + tick()
    s["lost_texts_every_150"] = tick(149) + tick() + tick(150)
    s["line_at_fifth_poll_is_version"] = (reach_ready() + tick(4 * 30 + 29) +
                                          answers(b"V3.0\r\n") + tick())
    for number, banner in enumerate([b"", b"V3.0\r\n"]):
        s[f"link_loss_drops_set_{number}"] = (reach_ready() + tick(4 * 30 + 29) +
                                              request(b"57600") + answers(banner) + tick() +
                                              answers(b"V2.1\r\n") + until_poll() +
                                              answers(b"9600\r\n") + until_poll())
    s["valid_line_every_poll"] = reach_ready() + (canned(b"OK\r\n") + until_poll()) * 100
    invalid = [b"OK", b"OK\r", b"\xffOK\r\n", b"OK\n", b"OK\x7f\r\n"]
    s["invalid_replies_keep_nothing_alive"] = reach_ready() + b"".join(
        answers(reply) + until_poll() for reply in invalid)
    # PortSessions
    s["closed_session_not_judged"] = (reach_ready() + until_poll() + answers(b"OK\r\n") +
                                      reopen() + tick(4 * 30 + 29))
    s["reply_split_by_poll"] = (answers(b"V2") + until_poll() + answers(b".1\r\n") +
                                until_poll())
    # Edges around the transcripts.
    s["rate_with_nul"] = reach_ready() + request(b"96\x0000") + until_poll()
    s["rate_non_ascii"] = reach_ready() + request("九六〇〇".encode()) + until_poll()
    s["rate_99_then_empty"] = (reach_ready() + request(b"1" * 99) + until_poll() +
                               canned(b"OK\r\n") + request(b"") + until_poll() * 2)
    s["rate_null_pointer"] = reach_ready() + request(None) + until_poll()
    s["burst_past_512"] = (reach_ready() + answers(b"x" * 510 + b"\r\n" + b"y" * 88) +
                           until_poll() + answers(b"x" * 598 + b"\r\n") + until_poll())
    s["closed_between_long_runs"] = (reach_ready() + request(b"57600") + tick(300) + tick(300) +
                                     bytes([CLOSE]) + tick(300) + answers(b"V9\r\n") +
                                     bytes([OPEN, NEXT_POLL]) + canned(b"115200\r\n") +
                                     bytes([NEXT_POLL]))
    return s


def main():
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(corpus, exist_ok=True)
    for name, script in sorted(seeds().items()):
        with open(os.path.join(corpus, name), "wb") as seed:
            seed.write(script)


if __name__ == "__main__":
    main()
