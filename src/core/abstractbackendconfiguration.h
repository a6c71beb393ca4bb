#pragma once

// Whether this build carries the address of the program's own recognition backend.
class AbstractBackendConfiguration {
public:
    virtual ~AbstractBackendConfiguration() = default;
    virtual bool isConfigured() const = 0;
};
