#pragma once

#include <QString>

#include <utility>

namespace hs {

// The kind of a message box the operator is shown: an error (title "エラー", shown with the
// warning icon) or information under its own title (empty when none is given). Whoever shows
// it decides on the kind; the title is only displayed.
class MessageSeverity {
public:
    // Information without a title.
    MessageSeverity() = default;
    static MessageSeverity error() { return MessageSeverity(true, QStringLiteral("エラー")); }
    static MessageSeverity information(QString title = QString())
    {
        return MessageSeverity(false, std::move(title));
    }

    bool isError() const { return error_; }
    const QString& title() const { return title_; }

private:
    MessageSeverity(bool isError, QString title) : error_(isError), title_(std::move(title)) {}

    bool error_ = false;
    QString title_;
};

} // namespace hs
