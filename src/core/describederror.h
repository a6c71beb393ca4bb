#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <typeinfo>

// The readable name of an error type, for logs.
QString errorKind(const std::type_info &type);
// The kind of any error, for logs: DescribedError::kind() or the type's name.
QString errorKind(const std::exception &error);

// Base of every service's error: a closed set of cases, each with a Russian
// description that the controller shows unchanged. Thrown across co_await.
class DescribedError : public std::exception {
public:
    explicit DescribedError(QString description)
        : m_description(std::move(description))
        , m_utf8(m_description.toUtf8())
    {
    }

    const QString &description() const noexcept { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }
    // What a log line may say of this error: its kind, never the description, which can
    // carry what a server sent back (an echoed key, the dictated text).
    virtual QString kind() const { return QStringLiteral("DescribedError"); }

private:
    QString m_description;
    QByteArray m_utf8;
};

// An error with a closed set of cases, one of which may carry a message. `Derived`
// supplies `static QString describe(Case, const QString &message)`.
template<typename Derived, typename CaseType> class CaseError : public DescribedError {
public:
    using Case = CaseType;

    explicit CaseError(Case errorCase, QString message = {})
        : DescribedError(Derived::describe(errorCase, message))
        , m_case(errorCase)
        , m_message(std::move(message))
    {
    }

    Case errorCase() const noexcept { return m_case; }
    const QString &message() const noexcept { return m_message; }
    // The type and case; a message that is only a number (an HTTP status, an exit code) too.
    QString kind() const override
    {
        bool numeric = false;
        m_message.toInt(&numeric);
        return errorKind(typeid(Derived)) + u'(' + QString::number(static_cast<int>(m_case))
            + (numeric ? QStringLiteral(", ") + m_message : QString()) + u')';
    }

private:
    Case m_case;
    QString m_message;
};

// What the user is told of any error: a DescribedError's description, otherwise the
// error's own text.
inline QString errorDescription(const std::exception &error)
{
    if (const auto *described = dynamic_cast<const DescribedError *>(&error))
        return described->description();
    return QString::fromUtf8(error.what());
}
