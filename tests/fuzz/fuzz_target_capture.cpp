#include "../insertion/scriptedaccessibility.h"
#include "targetcapture.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

namespace {

// Any attribute may hold any kind of value, including parents that loop.
AttributeValue scriptedValue(FuzzedDataProvider &input, const std::vector<ScriptedElementPtr> &elements)
{
    switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: return elements[input.ConsumeIntegralInRange<size_t>(0, elements.size() - 1)];
    case 1: return QString::fromUtf8(input.ConsumeRandomLengthString(40));
    case 2: return input.ConsumeIntegral<qint64>();
    case 3: return QUrl(QString::fromUtf8(input.ConsumeRandomLengthString(40)));
    case 4: return QPointF(input.ConsumeFloatingPoint<double>(), input.ConsumeFloatingPoint<double>());
    case 5: return QSizeF(input.ConsumeFloatingPoint<double>(), input.ConsumeFloatingPoint<double>());
    case 6: return TextRange{input.ConsumeIntegral<qint64>(), input.ConsumeIntegral<qint64>()};
    default: return {};
    }
}

void script(FuzzedDataProvider &input, const std::vector<ScriptedElementPtr> &elements)
{
    for (int count = input.ConsumeIntegralInRange(0, 40); count > 0; --count) {
        const auto &element = elements[input.ConsumeIntegralInRange<size_t>(0, elements.size() - 1)];
        const auto name = AccessibilityAttribute(input.ConsumeIntegralInRange(0, int(AccessibilityAttribute::selectedTextRange)));
        element->set(name, scriptedValue(input, elements));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<ScriptedElementPtr> elements(8);
    for (auto &element : elements)
        element = makeElement();
    ScriptedAccessibilityBackend backend;
    backend.frontmost = 1;
    backend.applications[1] = elements[0];
    TargetCapture capture(backend);
    script(input, elements);
    const auto stored = capture.captureTarget();
    script(input, elements);
    const auto fresh = capture.captureTarget();
    // The same target compared with itself is always unchanged.
    if (fresh && capture.changeReason(fresh, fresh))
        __builtin_trap();
    (void)capture.changeReason(stored, fresh);
    for (auto &element : elements)
        element->attributes.clear(); // the scripted parents may form a cycle
    return 0;
}
