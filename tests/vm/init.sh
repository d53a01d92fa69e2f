#!/bin/sh
# The guest's init (tests/vm/guest.py). It serves the host's requests on the channel tty,
# one a line, "ID VERB ARGS...", and answers each with one line "@ID ...": a kernel message
# or anything else on the channel cannot pass for an answer. The tty's name comes as
# guest_channel= on the kernel's command line, which the kernel hands to init as an
# environment variable. This script also handles the kernel's device events ("init event",
# run by busybox uevent) and wraps each job ("init job DIR").
export PATH=/usr/sbin:/usr/bin:/sbin:/bin

if [ "$1" = event ]; then
	# As udev's rules do: serial ports belong to dialout, those plugged later too.
	case "$ACTION:$SUBSYSTEM:$DEVNAME" in
	add:tty:ttyS*|add:tty:ttyUSB*|add:tty:ttyAMA*|add:tty:ttyACM*)
		chgrp dialout "/dev/$DEVNAME" && chmod 660 "/dev/$DEVNAME" ;;
	esac
	exit 0
elif [ "$1" = job ]; then
	# The job's session and process group are its own (start-stop-daemon forks twice, so
	# that no tty the job opens becomes its controlling tty; the group is not this shell's
	# pid). Signals sent to the group are for the command; this shell outlives them to
	# record how the command ended.
	trap : INT TERM HUP QUIT
	read -r _ _ _ _ group _ </proc/$$/stat
	echo "$group" >"$2/group.new" && mv "$2/group.new" "$2/group"
	sh -c "$(cat "$2/cmd")" </dev/null >"$2/out" 2>"$2/err"
	echo $? >"$2/status.new" && mv "$2/status.new" "$2/status"
	exit 0
fi

/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -m 1777 /run/lock
mkdir /run/jobs

# await SECONDS COMMAND...: until COMMAND succeeds, or fails once SECONDS have passed (whole
# seconds since boot, read without starting a process).
await() {
	read -r now _ </proc/uptime
	end=$((${now%.*} + $1))
	shift
	until "$@"; do
		read -r now _ </proc/uptime
		[ "${now%.*}" -ge "$end" ] && return 1
		sleep 0.02
	done
}

# The events of devices that come later must not be missed: the modules are loaded once
# uevent listens (its netlink socket, protocol 15, is there).
uevent /init event &
await 30 awk '$2 == 15 && $3 != 0 { found = 1 } END { exit !found }' /proc/net/netlink
while read -r module; do
	insmod "/lib/modules/$module"
done </etc/modules
for port in /dev/ttyS* /dev/ttyUSB* /dev/ttyAMA*; do
	[ -c "$port" ] && ACTION=add SUBSYSTEM=tty DEVNAME=${port#/dev/} /init event
done

# hvc0 comes with virtio_console's probe, which may still be going on.
await 60 [ -c "/dev/$guest_channel" ]

state() {
	d=/run/jobs/$1
	status=-
	[ -e "$d/status" ] && read -r status <"$d/status"
	echo "@$id $status:$(base64 -w0 "$d/out"):$(base64 -w0 "$d/err")"
}

# The requests are served by a child of init, not by init: orphans become init's children,
# and a SIGCHLD that comes while ash's read waits makes it begin the line again, losing what
# it had read of it.
(
stty raw -echo
echo "@0 ready"
while read -r id verb a b; do
	case "$verb" in
	start)
		d=/run/jobs/$id
		mkdir "$d" && echo "$a" | base64 -d >"$d/cmd" && : >"$d/out" && : >"$d/err"
		# Not with `&`: what a shell without job control starts so ignores SIGINT, and
		# the program's Ctrl-C would never come. The pid file given is never made:
		# start-stop-daemon only looks there for a copy that runs already.
		start-stop-daemon -S -b -p "$d/none" -x /init -- job "$d"
		await 10 [ -e "$d/group" ] && echo "@$id ok" || echo "@$id failed" ;;
	job)
		state "$a" ;;
	wait)
		await "$b" [ -e "/run/jobs/$a/status" ]
		state "$a" ;;
	kill)
		kill -s "$b" "-$(cat "/run/jobs/$a/group")" && echo "@$id ok" || echo "@$id failed" ;;
	off)
		echo "@$id ok"
		sync
		poweroff -f ;;
	*)
		echo "@$id unknown" ;;
	esac
done
) <"/dev/$guest_channel" >"/dev/$guest_channel" 2>&1
poweroff -f
