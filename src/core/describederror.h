#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

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

private:
    Case m_case;
    QString m_message;
};
