#pragma once

#include "model/MessageSeverity.h"

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

namespace hs {

// What a screen calls to show a message (text, title); replaceable so that tests and unattended
// runs never block on a modal box.
using MessageFunction = std::function<void(const QString& text, const QString& title)>;

// A message of a screen: through `replacement` when one is set, else a modal box with an OK
// button under the severity's title, with the warning icon for an error and `informationIcon`
// otherwise.
void showMessageBox(QWidget* parent, const MessageFunction& replacement, const QString& text,
                    const MessageSeverity& severity,
                    QMessageBox::Icon informationIcon = QMessageBox::NoIcon);

} // namespace hs
