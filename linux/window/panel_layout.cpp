#include "panel_layout.h"

#include <QAccessibleWidget>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <initializer_list>

#include "protocol_engine.h"

namespace PanelLayout {
namespace {

const char kHint[] = "请将串口连接的设备重新上电，确认已获取到版本号。";
// The hint is drawn grey, as a note beside the steps rather than a step.
const QColor kHintColour(100, 100, 100);

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

// Device text is shown as it came, never read as markup: a reply such as
// "<b>V2</b>" must not change how the panel looks.
QLabel* PlainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A label that shows a value the program changes: a device's version, the
// set's result, the link's state. Its own class, so that its accessible
// interface is ours and not Qt's, which is chosen by class name.
class ValueLabel : public QLabel {
    Q_OBJECT

public:
    // `labelledBy`: what labels it where neither a buddy label nor a
    // titled group box around it does; may be null.
    ValueLabel(const char* description, QWidget* labelledBy, QWidget* parent)
        : QLabel(parent), labelledBy_(labelledBy) {
        setTextFormat(Qt::PlainText);
        setAccessibleDescription(Text(description));
    }

    QWidget* labelledBy() const { return labelledBy_; }

private:
    QWidget* labelledBy_;
};

// What a screen reader is given for a value field: its text as its name,
// even when empty, and its labels as relations. Qt's own interface for a
// label names an empty one after the label that points at it, so that
// "版本号:" was read twice before any device had answered; and it knows
// no label for a field that has no buddy and no group box around it.
class ValueFieldAccessible : public QAccessibleWidget {
public:
    explicit ValueFieldAccessible(ValueLabel* field)
        : QAccessibleWidget(field, QAccessible::StaticText), field_(field) {}

    QString text(QAccessible::Text kind) const override {
        return kind == QAccessible::Name ? field_->text() : QAccessibleWidget::text(kind);
    }

    QList<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(
        QAccessible::Relation match) const override {
        auto found = QAccessibleWidget::relations(match);
        if (field_->labelledBy() != nullptr && (match & QAccessible::Label)) {
            found.prepend({QAccessible::queryAccessibleInterface(field_->labelledBy()),
                           QAccessible::Label});
        }
        return found;
    }

private:
    ValueLabel* field_;
};

QAccessibleInterface* ValueFieldInterface(const QString& className, QObject* object) {
    if (className != QLatin1String(ValueLabel::staticMetaObject.className())) {
        return nullptr;  // Qt's own interface
    }
    return new ValueFieldAccessible(static_cast<ValueLabel*>(object));
}

QLabel* ValueField(const char* description, QWidget* parent, QWidget* labelledBy = nullptr) {
    static const bool installed = (QAccessible::installFactory(ValueFieldInterface), true);
    (void)installed;
    return new ValueLabel(description, labelledBy, parent);
}

// A control whose text changes keeps the width of its longest text from the
// start, so that the fixed window never has to grow or cut it.
void ReserveWidth(QWidget* widget, std::initializer_list<const char*> texts) {
    const QFontMetrics metrics(widget->font());
    int widest = 0;
    for (const char* text : texts) {
        widest = std::max(widest, metrics.horizontalAdvance(Text(text)));
    }
    widget->setMinimumWidth(widest);
}

// A step that is one row: a label, the list it names, and a button.
QGroupBox* ListStep(QWidget* window, const char* title, const char* label, QComboBox* list,
                    QPushButton* button) {
    auto* step = new QGroupBox(Text(title), window);
    auto* name = PlainLabel(Text(label), step);
    list->setParent(step);
    button->setParent(step);
    name->setBuddy(list);
    auto* row = new QHBoxLayout(step);
    row->addWidget(name);
    row->addWidget(list, 1);
    row->addWidget(button);
    return step;
}

QGroupBox* StepOne(QWidget* window, const QStringList& ports, Controls& controls) {
    controls.portList = new PortComboBox;
    ShowPorts(controls.portList, ports);
    controls.portList->setAccessibleName(Text("串口号"));
    controls.openButton = new QPushButton(Text(kOpenText));
    ReserveWidth(controls.openButton, {kOpenText, kCloseText});
    return ListStep(window, "第1步：打开串口", "串口号:", controls.portList, controls.openButton);
}

QGroupBox* StepTwo(QWidget* window, Controls& controls) {
    auto* step = new QGroupBox(Text("第2步：复位设备"), window);
    auto* hint = PlainLabel(Text(kHint), step);
    QPalette grey = hint->palette();
    grey.setColor(QPalette::WindowText, kHintColour);
    hint->setPalette(grey);
    auto* versionLabel = PlainLabel(Text("版本号:"), step);
    controls.versionText = ValueField("设备版本号", step);
    // A device line may be long: it is clipped at the window's edge instead
    // of widening the window, and shown whole in its tooltip.
    controls.versionText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    versionLabel->setBuddy(controls.versionText);
    auto* grid = new QGridLayout(step);
    grid->addWidget(hint, 0, 0, 1, 2);
    grid->addWidget(versionLabel, 1, 0);
    grid->addWidget(controls.versionText, 1, 1);
    grid->setColumnStretch(1, 1);
    return step;
}

QGroupBox* StepThree(QWidget* window, Controls& controls) {
    controls.rateList = new QComboBox;
    for (const char* rate : kRateTable) {
        controls.rateList->addItem(Text(rate));
    }
    controls.rateList->setCurrentIndex(0);
    controls.rateList->setAccessibleName(Text("波特率"));
    controls.setButton = new QPushButton(Text("设置"));
    controls.setButton->setAccessibleName(Text("设置"));
    controls.setButton->setEnabled(false);
    return ListStep(window, "第3步：修改波特率", "波特率:", controls.rateList, controls.setButton);
}

// The bottom line: the set's result on the left, the link on the right.
QHBoxLayout* BottomLine(QWidget* window, QWidget* stepThree, Controls& controls) {
    // The result is the third step's: its title labels it.
    controls.resultText = ValueField("设置结果", window, stepThree);
    ReserveWidth(controls.resultText, {PanelTexts::kSetSucceeded, PanelTexts::kSetFailed});
    auto* statusLabel = PlainLabel(Text("状态:"), window);
    controls.statusText = ValueField("连接状态", window);
    controls.statusText->setText(Text(PanelTexts::kNotConnected));
    ReserveWidth(controls.statusText, {PanelTexts::kConnected, PanelTexts::kNotConnected});
    statusLabel->setBuddy(controls.statusText);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(controls.resultText);
    bottom->addStretch(1);
    bottom->addWidget(statusLabel);
    bottom->addWidget(controls.statusText);
    return bottom;
}

}  // namespace

void ShowPorts(QComboBox* list, const QStringList& ports) {
    QStringList shown;
    for (int i = 0; i < list->count(); ++i) {
        shown << list->itemText(i);
    }
    if (shown == ports && (list->currentIndex() >= 0 || ports.isEmpty())) {
        return;  // nothing to tell a screen reader, nothing to redraw
    }
    const QString chosen = list->currentText();
    list->clear();
    list->addItems(ports);
    const int kept = ports.indexOf(chosen);
    list->setCurrentIndex(kept >= 0 ? kept : (ports.isEmpty() ? -1 : 0));
}

Controls Build(QWidget* window, const QStringList& ports) {
    Controls controls{};
    auto* panel = new QVBoxLayout(window);
    panel->addWidget(StepOne(window, ports, controls));
    panel->addWidget(StepTwo(window, controls));
    QGroupBox* stepThree = StepThree(window, controls);
    panel->addWidget(stepThree);
    panel->addLayout(BottomLine(window, stepThree, controls));
    // The window takes the size its contents ask for in the font at hand and
    // keeps it: it can be neither resized nor maximised.
    panel->setSizeConstraint(QLayout::SetFixedSize);
    return controls;
}

}  // namespace PanelLayout

void PortComboBox::showPopup() {
    emit aboutToDropDown();
    QComboBox::showPopup();
}

#include "panel_layout.moc"
