#include "ui/RcComplementScreen.h"

#include "model/MessageSeverity.h"
#include "model/RcComplement.h"
#include "model/SettingsRules.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QVBoxLayout>

namespace hs {

namespace {

QString indexed(const char* name, int i)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(i);
}

} // namespace

RcComplementScreen::RcComplementScreen(MeasurementSettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings)
{
    setObjectName(QStringLiteral("Form04"));
    setWindowTitle(caption());
    setModal(true);
    showMessage_ = [this](const QString& text, const QString& title) {
        QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
        box.exec();
    };
    buildControls();
    showSettings();
}

RcComplementScreen::~RcComplementScreen() = default;

void RcComplementScreen::buildControls()
{
    auto* outer = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(3);
    auto* r = new QLabel(QStringLiteral("Ｒ"), this);
    r->setObjectName(QStringLiteral("Label3"));
    auto* c = new QLabel(QStringLiteral("Ｃ"), this);
    c->setObjectName(QStringLiteral("Label4"));
    auto* v = new QLabel(QStringLiteral("Ｖ結線電圧計算補完"), this);
    v->setObjectName(QStringLiteral("Label5"));
    grid->addWidget(r, 0, 1, Qt::AlignCenter);
    grid->addWidget(c, 0, 3, Qt::AlignCenter);
    grid->addWidget(v, 0, 6);

    const QString rowTip =
        QStringLiteral("含有量の少ない高次高調波を正確に計るためＲ－Ｃのフィルタと"
                       "組み合わせて測定する特にチェックします");
    for (int row = 0; row < 10; ++row) {
        const QString text =
            row == 0 ? QStringLiteral("電圧入力") : QStringLiteral("電流 %1").arg(row);
        rowCheck_[row] = new QCheckBox(text, this);
        rowCheck_[row]->setObjectName(indexed("Check1", row));
        rowCheck_[row]->setToolTip(rowTip);
        resistanceBox_[row] = new QLineEdit(this);
        resistanceBox_[row]->setObjectName(indexed("Text1", row));
        resistanceBox_[row]->setFixedWidth(70);
        capacitanceBox_[row] = new QLineEdit(this);
        capacitanceBox_[row]->setObjectName(indexed("Text2", row));
        capacitanceBox_[row]->setFixedWidth(70);
        resistanceUnit_[row] = new QLabel(QStringLiteral("kΩ"), this);
        resistanceUnit_[row]->setObjectName(indexed("UnitR", row));
        capacitanceUnit_[row] = new QLabel(QStringLiteral("μF"), this);
        capacitanceUnit_[row]->setObjectName(indexed("UnitC", row));
        grid->addWidget(rowCheck_[row], row + 1, 0);
        grid->addWidget(resistanceBox_[row], row + 1, 1);
        grid->addWidget(resistanceUnit_[row], row + 1, 2);
        grid->addWidget(capacitanceBox_[row], row + 1, 3);
        grid->addWidget(capacitanceUnit_[row], row + 1, 4);
        resistanceBox_[row]->installEventFilter(this);
        capacitanceBox_[row]->installEventFilter(this);

        connect(rowCheck_[row], &QCheckBox::toggled, this, [this, row](bool on) {
            settings_.RcRows[static_cast<std::size_t>(row)].ticked = on;
            showRow(row);
        });
        connect(resistanceBox_[row], &QLineEdit::textEdited, this,
                [this, row](const QString& t) { edited(row, true, t); });
        connect(capacitanceBox_[row], &QLineEdit::textEdited, this,
                [this, row](const QString& t) { edited(row, false, t); });
    }
    for (int f = 0; f < 9; ++f) {
        vConnection_[f] = new QCheckBox(QStringLiteral("Ｖ電圧"), this);
        vConnection_[f]->setObjectName(indexed("Check2", f));
        vConnection_[f]->setToolTip(QStringLiteral("電圧を測定するときにチェックします。"));
        grid->addWidget(vConnection_[f], f + 2, 6);
        connect(vConnection_[f], &QCheckBox::toggled, this,
                [this, f](bool on) { settings_.VConnection[static_cast<std::size_t>(f)] = on; });
    }
    grid->setColumnMinimumWidth(5, 24);
    outer->addLayout(grid);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    closeButton_ = new QPushButton(QStringLiteral("設定終了"), this);
    closeButton_->setObjectName(QStringLiteral("Command1"));
    closeButton_->setAutoDefault(false);
    buttons->addWidget(closeButton_);
    outer->addLayout(buttons);
    connect(closeButton_, &QPushButton::clicked, this, [this] { hide(); });
}

void RcComplementScreen::showSettings()
{
    for (int row = 0; row < 10; ++row)
        showRow(row);
    for (int f = 0; f < 9; ++f)
        vConnection_[f]->setChecked(settings_.VConnection[static_cast<std::size_t>(f)]);
}

void RcComplementScreen::showRow(int row)
{
    const RcRow& rc = settings_.RcRows[static_cast<std::size_t>(row)];
    if (rowCheck_[row]->isChecked() != rc.ticked)
        rowCheck_[row]->setChecked(rc.ticked);
    if (resistanceBox_[row]->text() != rc.rText)
        resistanceBox_[row]->setText(rc.rText);
    if (capacitanceBox_[row]->text() != rc.cText)
        capacitanceBox_[row]->setText(rc.cText);
    for (QWidget* w : std::initializer_list<QWidget*>{resistanceBox_[row], capacitanceBox_[row],
                                                      resistanceUnit_[row], capacitanceUnit_[row]})
        w->setEnabled(rc.ticked);
}

// An R or C is taken the moment it reads as a positive number; a text that is no number at all
// is refused at once, a zero or an unfinished text when the box is left.
void RcComplementScreen::edited(int row, bool resistance, const QString& text)
{
    if (refusing_ || isUnfinishedNumber(text))
        return;
    const EntryResult entry = checkSensorEntry(text);
    if (!entry.accepted) {
        const QScopedValueRollback<bool> guard(refusing_, true);
        showRow(row);
        showMessage_(entry.message, MessageSeverity::error().title());
        return;
    }
    RcRow rc = settings_.RcRows[static_cast<std::size_t>(row)];
    (resistance ? rc.rText : rc.cText) = text;
    if (rcFilterOf(RcRow{true, rc.rText, rc.cText}))
        settings_.RcRows[static_cast<std::size_t>(row)] = rc;
}

void RcComplementScreen::left(int row, bool resistance)
{
    const RcRow& rc = settings_.RcRows[static_cast<std::size_t>(row)];
    const QLineEdit* box = resistance ? resistanceBox_[row] : capacitanceBox_[row];
    if (box->text() == (resistance ? rc.rText : rc.cText))
        return;
    const QScopedValueRollback<bool> guard(refusing_, true);
    showRow(row);
    showMessage_(positiveNumberMessage(), MessageSeverity::error().title());
}

bool RcComplementScreen::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::FocusOut && !refusing_) {
        const auto reason = static_cast<QFocusEvent*>(e)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            for (int row = 0; row < 10; ++row) {
                if (watched == resistanceBox_[row])
                    left(row, true);
                if (watched == capacitanceBox_[row])
                    left(row, false);
            }
        }
    }
    return QDialog::eventFilter(watched, e);
}

} // namespace hs
