#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// The parsers see the bytes as a body or a record arrives, without a copy or a
// terminating zero, so a read past the end is caught.
inline QByteArray fuzzBytes(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
}

// A broken property crashes, so libFuzzer keeps the input that broke it.
#define FUZZ_EXPECT(condition) ((condition) ? void() : __builtin_trap())
