#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// Base of every service's error: a closed set of cases, each with a Russian
// description that the controller shows unchanged. Thrown across co_await.
class DescribedError : public std::exception
{
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
