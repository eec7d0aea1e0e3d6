#include "ui/MessageBox.h"

namespace hs {

void showMessageBox(QWidget* parent, const MessageFunction& replacement, const QString& text,
                    const MessageSeverity& severity, QMessageBox::Icon informationIcon)
{
    if (replacement) {
        replacement(text, severity.title());
        return;
    }
    QMessageBox box(severity.isError() ? QMessageBox::Warning : informationIcon, severity.title(),
                    text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace hs
