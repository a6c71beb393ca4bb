#include "core/logging.h"

#include "core/describederror.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

Q_LOGGING_CATEGORY(lcAudio, "verbulo.audio", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCore, "verbulo.core", QtInfoMsg)
Q_LOGGING_CATEGORY(lcInput, "verbulo.input", QtInfoMsg)
Q_LOGGING_CATEGORY(lcInsertion, "verbulo.insertion", QtInfoMsg)
Q_LOGGING_CATEGORY(lcServices, "verbulo.services", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUI, "verbulo.ui", QtInfoMsg)

QString errorKind(const std::type_info &type)
{
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    return QString::fromLatin1(status == 0 && name ? name.get() : type.name());
}

QString errorKind(const std::exception &error)
{
    if (const auto *described = dynamic_cast<const DescribedError *>(&error))
        return described->kind();
    return errorKind(typeid(error));
}
