#pragma once

#include "core/describederror.h"

enum class VorsikAPIErrorCase { network, server, emptyAudio, notConfigured, invalidResponse, unauthorized };

// The error of the own backend client; its description is shown to the user unchanged.
class VorsikAPIError : public CaseError<VorsikAPIError, VorsikAPIErrorCase> {
public:
    using CaseError::CaseError;

    static QString describe(Case errorCase, const QString &message);
};
