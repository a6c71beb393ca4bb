#include "../insertion/scriptedaccessibility.h"
#include "fuzzing.h"
#include "insertion/targetcapture.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {

// Any attribute of any element may hold any kind of value, parents that loop included.
void script(FuzzedDataProvider &input, const std::vector<ScriptedElementPtr> &elements)
{
    const auto any = [&input](size_t count) { return input.ConsumeIntegralInRange<size_t>(0, count - 1); };
    for (int count = input.ConsumeIntegralInRange(0, 40); count > 0; --count) {
        const auto name = AccessibilityAttribute(any(size_t(AccessibilityAttribute::objectIdentity) + 1));
        const auto text = [&input] { return QString::fromUtf8(input.ConsumeRandomLengthString(40)); };
        const auto number = [&input] { return input.ConsumeFloatingPoint<double>(); };
        const AttributeValue values[] = { elements[any(elements.size())], text(), input.ConsumeIntegral<qint64>(),
            QUrl(text()), QPointF(number(), number()), QSizeF(number(), number()),
            TextRange { input.ConsumeIntegral<qint64>(), input.ConsumeIntegral<qint64>() }, AttributeValue() };
        const AttributeValue value = values[any(std::size(values))];
        elements[any(elements.size())]->set(name, value);
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
    // A target compared with itself is unchanged, whatever it holds.
    FUZZ_EXPECT(!fresh || !capture.changeReason(fresh, fresh));
    (void)capture.changeReason(stored, fresh);
    for (auto &element : elements)
        element->attributes.clear(); // the parents may form a cycle of shared pointers
    return 0;
}
