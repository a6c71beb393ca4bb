#include "scriptedaccessibility.h"
#include "targetcapture.h"
#include "testutil.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Attribute = AccessibilityAttribute;

namespace {

// A window fingerprint; each case states only what differs from an ordinary titled frame.
struct Print {
    std::optional<qint64> number = std::nullopt;
    std::optional<QString> role = u"frame"_s;
    std::optional<QString> identifier = std::nullopt;
    std::optional<QString> title = u"Документ"_s;
    std::optional<QRectF> frame = QRectF(100, 100, 800, 600);

    operator WindowFingerprint() const { return { number, role, std::nullopt, identifier, title, frame }; }
};

struct WindowCase {
    const char *name;
    Print stored;
    Print current;
    bool sameElement;
    bool matches;
};

void PrintTo(const WindowCase &c, std::ostream *out) { *out << c.name; }

const WindowCase windowCases[] = {
    { "equal numbers decide even with other titles", { .number = 7, .title = u"A"_s }, { .number = 7 }, false, true },
    { "different numbers decide even when all else agrees", { .number = 7 }, { .number = 8 }, true, false },
    { "same element, titles differing by surrounding white space", { .number = 7, .title = u" Заметки "_s },
        { .title = u"Заметки\n"_s }, true, true },
    { "same element, two different titles", {}, { .title = u"Другой"_s }, true, false },
    { "same element, one empty title", {}, { .title = u""_s }, true, true },
    { "same element, one missing title", {}, { .title = std::nullopt }, true, true },
    { "same element, canonically equal titles", { .title = u"caf\u00e9"_s }, { .title = u"cafe\u0301"_s }, true, true },
    { "same element ignores frames", {}, { .frame = std::nullopt }, true, true },
    { "other element, frame 24.0 wider", {}, { .frame = QRectF(100, 100, 824.0, 600) }, false, true },
    { "other element, frame 24.5 wider", {}, { .frame = QRectF(100, 100, 824.5, 600) }, false, false },
    { "other element, moved 24.0 left and up", {}, { .frame = QRectF(76, 76, 800, 600) }, false, true },
    { "other element, moved 24.5 down", {}, { .frame = QRectF(100, 124.5, 800, 600) }, false, false },
    { "other element, frame missing on one side", {}, { .frame = std::nullopt }, false, false },
    { "other element, role on one side only", {}, { .role = std::nullopt }, false, false },
    { "other element, roles both absent", { .role = std::nullopt }, { .role = std::nullopt }, false, true },
    { "other element, conflicting identifiers", { .identifier = u"main"_s }, { .identifier = u"prefs"_s }, false,
        false },
    { "other element, blank identifier never conflicts", { .identifier = u"  "_s }, { .identifier = u"prefs"_s }, false,
        true },
    { "other element, conflicting titles", {}, { .title = u"Другой"_s }, false, false },
};

class WindowsMatchTest : public ::testing::TestWithParam<WindowCase> { };

} // namespace

TEST_P(WindowsMatchTest, FollowsTheRulesInOrder)
{
    const WindowCase &c = GetParam();
    ScriptedAccessibilityBackend backend;
    const ScriptedElementPtr window = makeElement();
    const TextInsertionTarget stored { 1, window, c.stored, std::nullopt, nullptr };
    const TextInsertionTarget current { 1, c.sameElement ? window : makeElement(), c.current, std::nullopt, nullptr };
    EXPECT_EQ(TargetCapture(backend).windowsMatch(stored, current), c.matches);
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowsMatchTest, ::testing::ValuesIn(windowCases));

// A chain of 25 elements, each the parent of the one before.
TEST(PageIdentityTest, SearchesUpToTwentyElementsAndSkipsBlankValues)
{
    ScriptedAccessibilityBackend backend;
    TargetCapture capture(backend);
    std::vector<ScriptedElementPtr> chain(25);
    for (int i = 24; i >= 0; --i) {
        chain[i] = makeElement();
        if (i < 24)
            chain[i]->set(Attribute::parent, AccessibleElementRef(chain[i + 1]));
    }
    chain[20]->set(Attribute::url, u"https://example.org/21"_s);
    EXPECT_EQ(capture.pageIdentity(chain[0]), std::nullopt);
    chain[19]->set(Attribute::url, u"https://example.org/20"_s);
    EXPECT_EQ(capture.pageIdentity(chain[0]), u"url:https://example.org/20"_s);

    // A blank URL counts as none; the parent's document is the nearest identity.
    chain[0]->set(Attribute::url, u" \n "_s);
    chain[1]->set(Attribute::document, u"file:///home/u/письмо.odt"_s);
    EXPECT_EQ(capture.pageIdentity(chain[0]), u"document:file:///home/u/письмо.odt"_s);
    chain[1]->set(Attribute::url, QUrl(u"https://example.org/a b"_s));
    EXPECT_EQ(capture.pageIdentity(chain[0]), u"url:https://example.org/a%20b"_s);
    chain[0]->set(Attribute::url, u"  https://trimmed.example/  "_s);
    EXPECT_EQ(capture.pageIdentity(chain[0]), u"url:https://trimmed.example/"_s);

    // Without any URL or document: the nearest page tab's object, else the nearest document's.
    chain[0]->attributes.erase(Attribute::url);
    chain[1]->attributes = { { Attribute::parent, AccessibleElementRef(chain[2]) } };
    chain[19]->attributes.erase(Attribute::url);
    chain[2]->set(Attribute::role, u"document text"_s).set(Attribute::objectIdentity, u":1.5\n/doc"_s);
    EXPECT_EQ(capture.pageIdentity(chain[0]), u"frame::1.5\n/doc"_s);
    chain[4]->set(Attribute::role, u"page tab"_s).set(Attribute::objectIdentity, u":1.5\n/tab/2"_s);
    chain[3]->set(Attribute::role, u"page tab"_s);
    EXPECT_EQ(capture.pageIdentity(chain[0]), u"tab::1.5\n/tab/2"_s);
}

namespace {

// A frontmost application with a focused window and a focused field inside a web page.
class CaptureTest : public ::testing::Test {
protected:
    CaptureTest()
    {
        backend.frontmost = 42;
        backend.applications[42] = application;
        application->set(Attribute::focusedWindow, AccessibleElementRef(window))
            .set(Attribute::focusedUIElement, AccessibleElementRef(field));
        window->set(Attribute::windowNumber, qint64(0x1200007))
            .set(Attribute::title, u" Письмо "_s)
            .set(Attribute::position, QPointF(10, 20))
            .set(Attribute::size, QSizeF(640, 480))
            .set(Attribute::url, u"https://mail.example/"_s);
        field->set(Attribute::parent, AccessibleElementRef(window));
    }

    ScriptedAccessibilityBackend backend;
    TargetCapture capture { backend };
    ScriptedElementPtr application = makeElement();
    ScriptedElementPtr window = makeElement();
    ScriptedElementPtr field = makeElement();
};

} // namespace

TEST_F(CaptureTest, RecordsApplicationWindowPageAndFocusedElement)
{
    std::optional<TextInsertionTarget> target = capture.captureTarget();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->applicationPID, 42);
    EXPECT_EQ(target->window, window);
    EXPECT_EQ(target->focusedElement, field);
    EXPECT_EQ(target->pageIdentity, u"url:https://mail.example/"_s);
    EXPECT_EQ(target->windowFingerprint.number, 0x1200007);
    EXPECT_EQ(target->windowFingerprint.title, u" Письмо "_s); // stored untrimmed
    EXPECT_EQ(target->windowFingerprint.frame, QRectF(10, 20, 640, 480));

    // No focused element: no page identity either.
    application->attributes.erase(Attribute::focusedUIElement);
    target = capture.captureTarget();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->focusedElement, nullptr);
    EXPECT_EQ(target->pageIdentity, std::nullopt);

    // A frame needs both a position and a size.
    window->set(Attribute::size, u"640x480"_s);
    EXPECT_EQ(capture.fingerprint(window).frame, std::nullopt);
}

TEST_F(CaptureTest, YieldsNothingWithoutAPlaceToPaste)
{
    const std::pair<const char *, std::function<void()>> cases[] = {
        { "no focused window of the right type", [&] { application->set(Attribute::focusedWindow, u"window"_s); } },
        { "application element unavailable", [&] { backend.applications.clear(); } },
        { "this program is frontmost", [&] { backend.frontmost = backend.ownPid; } },
        { "no frontmost application", [&] { backend.frontmost.reset(); } },
        { "not trusted", [&] { backend.trusted = false; } },
    };
    for (const auto &[name, change] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(capture.captureTarget().has_value());
        change();
        EXPECT_FALSE(capture.captureTarget().has_value());
        backend.frontmost = 42;
        backend.applications[42] = application;
        application->set(Attribute::focusedWindow, AccessibleElementRef(window));
    }
    EXPECT_EQ(backend.trustRequests, 0);
}

TEST_F(CaptureTest, ChangeReasonsComeInTheirOrder)
{
    const std::optional<TextInsertionTarget> stored = capture.captureTarget();
    ASSERT_TRUE(stored);
    const std::optional<QString> page = stored->pageIdentity, otherPage = u"url:https://other.example/"_s;
    auto reason = [&](qint32 pid, std::optional<QString> pageIdentity, qint64 number) {
        TextInsertionTarget fresh = *stored;
        fresh.applicationPID = pid;
        fresh.pageIdentity = pageIdentity;
        fresh.windowFingerprint.number = number;
        return capture.changeReason(stored, fresh);
    };

    EXPECT_EQ(capture.changeReason(std::nullopt, stored), u"Ворсик не смог запомнить исходное окно."_s);
    EXPECT_EQ(capture.changeReason(stored, std::nullopt), u"Не удалось определить текущее окно с курсором."_s);
    EXPECT_EQ(reason(43, otherPage, 1), u"Открыто другое приложение."_s);
    EXPECT_EQ(reason(42, otherPage, 1), u"Открыта другая страница."_s);
    EXPECT_EQ(reason(42, page, 1), u"Открыто другое окно."_s);
    // A page identity missing on one side is no change; the window rules decide.
    EXPECT_EQ(reason(42, std::nullopt, 0x1200007), std::nullopt);
    EXPECT_EQ(reason(42, std::nullopt, 1), u"Открыто другое окно."_s);
}
