#pragma once

#include "describederror.h"

// The error of the own backend client; its description is shown to the user unchanged.
class VorsikAPIError : public DescribedError
{
public:
    enum class Case { network, server, emptyAudio, notConfigured, invalidResponse, unauthorized };

    explicit VorsikAPIError(Case errorCase, QString message = {});

    static QString describe(Case errorCase, const QString &message);

    Case errorCase() const noexcept { return m_case; }
    const QString &message() const noexcept { return m_message; }

private:
    Case m_case;
    QString m_message;
};
