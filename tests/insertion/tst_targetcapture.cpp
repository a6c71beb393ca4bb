#include "scriptedaccessibility.h"
#include "targetcapture.h"
#include "testutil.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Attribute = AccessibilityAttribute;

namespace {

WindowFingerprint print(std::optional<qint64> number, std::optional<QString> title,
                        std::optional<QRectF> frame = QRectF(100, 100, 800, 600),
                        std::optional<QString> role = u"frame"_s)
{
    WindowFingerprint fingerprint;
    fingerprint.number = number;
    fingerprint.title = std::move(title);
    fingerprint.frame = frame;
    fingerprint.role = std::move(role);
    return fingerprint;
}

struct WindowCase
{
    const char *name;
    WindowFingerprint stored;
    WindowFingerprint current;
    bool sameElement;
    bool matches;
};

void PrintTo(const WindowCase &c, std::ostream *out) { *out << c.name; }

WindowFingerprint with(WindowFingerprint fingerprint, const std::function<void(WindowFingerprint &)> &change)
{
    change(fingerprint);
    return fingerprint;
}

const WindowFingerprint base = print(std::nullopt, u"Документ"_s);

const WindowCase windowCases[] = {
    {"equal numbers decide even with other titles", print(7, u"A"_s), print(7, u"B"_s), false, true},
    {"different numbers decide even when all else agrees", print(7, u"A"_s), print(8, u"A"_s), true, false},
    {"same element, titles differing by surrounding white space", print(7, u" Заметки "_s),
     print(std::nullopt, u"Заметки\n"_s), true, true},
    {"same element, two different titles", base, print(std::nullopt, u"Другой"_s), true, false},
    {"same element, one empty title", base, print(std::nullopt, u""_s), true, true},
    {"same element, one missing title", base, print(std::nullopt, std::nullopt), true, true},
    {"same element, canonically equal titles", print(std::nullopt, u"caf\u00e9"_s),
     print(std::nullopt, u"cafe\u0301"_s), true, true},
    {"same element ignores frames", base, with(base, [](auto &f) { f.frame.reset(); }), true, true},
    {"other element, frame 24.0 wider", base, with(base, [](auto &f) { f.frame->setWidth(824.0); }), false, true},
    {"other element, frame 24.5 wider", base, with(base, [](auto &f) { f.frame->setWidth(824.5); }), false, false},
    {"other element, moved 24.0 left and up", base,
     with(base, [](auto &f) { f.frame->moveTo(76.0, 76.0); }), false, true},
    {"other element, moved 24.5 down", base, with(base, [](auto &f) { f.frame->moveTop(124.5); }), false, false},
    {"other element, rectangles compared normalised", with(base, [](auto &f) { f.frame = QRectF(900, 700, -800, -600); }),
     base, false, true},
    {"other element, frame missing on one side", base, with(base, [](auto &f) { f.frame.reset(); }), false, false},
    {"other element, role on one side only", base, with(base, [](auto &f) { f.role.reset(); }), false, false},
    {"other element, roles both absent", with(base, [](auto &f) { f.role.reset(); }),
     with(base, [](auto &f) { f.role.reset(); }), false, true},
    {"other element, other subrole", with(base, [](auto &f) { f.subrole = u"dialog"_s; }), base, false, false},
    {"other element, conflicting identifiers", with(base, [](auto &f) { f.identifier = u"main"_s; }),
     with(base, [](auto &f) { f.identifier = u"prefs"_s; }), false, false},
    {"other element, blank identifier never conflicts", with(base, [](auto &f) { f.identifier = u"  "_s; }),
     with(base, [](auto &f) { f.identifier = u"prefs"_s; }), false, true},
    {"other element, conflicting titles", base, print(std::nullopt, u"Другой"_s), false, false},
};

class WindowsMatchTest : public ::testing::TestWithParam<WindowCase>
{
};

} // namespace

TEST_P(WindowsMatchTest, FollowsTheRulesInOrder)
{
    const WindowCase &c = GetParam();
    ScriptedAccessibilityBackend backend;
    TargetCapture capture(backend);
    const ScriptedElementPtr window = makeElement(u"window"_s);
    TextInsertionTarget stored{1, window, c.stored, std::nullopt, nullptr};
    TextInsertionTarget current{1, c.sameElement ? window : makeElement(u"other"_s), c.current, std::nullopt, nullptr};
    EXPECT_EQ(capture.windowsMatch(stored, current), c.matches);
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowsMatchTest, ::testing::ValuesIn(windowCases));

namespace {

// A chain of `length` elements, each the parent of the one before.
std::vector<ScriptedElementPtr> chain(int length)
{
    std::vector<ScriptedElementPtr> elements;
    for (int i = 0; i < length; ++i) {
        elements.push_back(makeElement(QString::number(i + 1)));
        if (i > 0)
            elements[i - 1]->set(Attribute::parent, AccessibleElementRef(elements[i]));
    }
    return elements;
}

} // namespace

TEST(PageIdentityTest, SearchesUpToTwentyElements)
{
    ScriptedAccessibilityBackend backend;
    TargetCapture capture(backend);

    auto atTwenty = chain(25);
    atTwenty[19]->set(Attribute::url, u"https://example.org/20"_s);
    EXPECT_EQ(capture.pageIdentity(atTwenty.front()), u"url:https://example.org/20"_s);

    auto atTwentyOne = chain(25);
    atTwentyOne[20]->set(Attribute::url, u"https://example.org/21"_s);
    EXPECT_EQ(capture.pageIdentity(atTwentyOne.front()), std::nullopt);
}

TEST(PageIdentityTest, ReadsURLBeforeDocumentAndSkipsUnusableValues)
{
    ScriptedAccessibilityBackend backend;
    TargetCapture capture(backend);

    auto elements = chain(3);
    // A blank URL counts as none; the parent's document is the nearest identity.
    elements[0]->set(Attribute::url, u" \n "_s);
    elements[1]->set(Attribute::document, u"file:///home/u/письмо.odt"_s);
    elements[2]->set(Attribute::url, u"https://far.example/"_s);
    EXPECT_EQ(capture.pageIdentity(elements[0]), u"document:file:///home/u/письмо.odt"_s);

    elements[1]->set(Attribute::url, QUrl(u"https://example.org/a b"_s));
    EXPECT_EQ(capture.pageIdentity(elements[0]), u"url:https://example.org/a%20b"_s);

    // Values of the wrong type are no identity at all.
    elements[1]->set(Attribute::url, qint64(5));
    elements[1]->set(Attribute::document, QPointF(1, 2));
    elements[0]->set(Attribute::url, u"  https://trimmed.example/  "_s);
    EXPECT_EQ(capture.pageIdentity(elements[0]), u"url:https://trimmed.example/"_s);
    elements[0]->set(Attribute::url, AttributeValue{});
    EXPECT_EQ(capture.pageIdentity(elements[0]), u"url:https://far.example/"_s);
}

namespace {

// A frontmost application with a focused window and a focused field inside a web page.
struct Scene
{
    Scene()
    {
        backend.frontmost = 42;
        application->set(Attribute::focusedWindow, AccessibleElementRef(window));
        application->set(Attribute::focusedUIElement, AccessibleElementRef(field));
        backend.applications[42] = application;
        window->set(Attribute::windowNumber, qint64(0x1200007))
            .set(Attribute::role, u"frame"_s)
            .set(Attribute::title, u" Письмо "_s)
            .set(Attribute::position, QPointF(10, 20))
            .set(Attribute::size, QSizeF(640, 480))
            .set(Attribute::url, u"https://mail.example/"_s);
        field->set(Attribute::parent, AccessibleElementRef(window));
    }

    ScriptedAccessibilityBackend backend;
    TargetCapture capture{backend};
    ScriptedElementPtr application = makeElement(u"app"_s);
    ScriptedElementPtr window = makeElement(u"window"_s);
    ScriptedElementPtr field = makeElement(u"field"_s);
};

} // namespace

class CaptureTest : public ::testing::Test, protected Scene
{
};

TEST_F(CaptureTest, RecordsApplicationWindowPageAndFocusedElement)
{
    const std::optional<TextInsertionTarget> target = capture.captureTarget();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->applicationPID, 42);
    EXPECT_EQ(target->window, window);
    EXPECT_EQ(target->focusedElement, field);
    EXPECT_EQ(target->pageIdentity, u"url:https://mail.example/"_s);
    EXPECT_EQ(target->windowFingerprint.number, 0x1200007);
    EXPECT_EQ(target->windowFingerprint.title, u" Письмо "_s); // stored untrimmed
    EXPECT_EQ(target->windowFingerprint.frame, QRectF(10, 20, 640, 480));
    EXPECT_EQ(target->windowFingerprint.subrole, std::nullopt);
}

TEST_F(CaptureTest, FrameNeedsBothPositionAndSize)
{
    window->attributes.erase(Attribute::position);
    EXPECT_EQ(capture.fingerprint(window).frame, std::nullopt);
    window->set(Attribute::position, QPointF(1, 1)).set(Attribute::size, u"640x480"_s);
    EXPECT_EQ(capture.fingerprint(window).frame, std::nullopt);
}

TEST_F(CaptureTest, WithoutFocusedElementHasNoPageIdentity)
{
    application->attributes.erase(Attribute::focusedUIElement);
    const std::optional<TextInsertionTarget> target = capture.captureTarget();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->focusedElement, nullptr);
    EXPECT_EQ(target->pageIdentity, std::nullopt);
}

TEST(CaptureFailureTest, YieldsNothingWithoutAPlaceToPaste)
{
    struct Case
    {
        const char *name;
        std::function<void(Scene &)> change;
    };
    const Case cases[] = {
        {"not trusted", [](Scene &s) { s.backend.trusted = false; }},
        {"no frontmost application", [](Scene &s) { s.backend.frontmost.reset(); }},
        {"this program is frontmost", [](Scene &s) { s.backend.frontmost = s.backend.ownPid; }},
        {"application element unavailable", [](Scene &s) { s.backend.applications.clear(); }},
        {"no focused window", [](Scene &s) { s.application->attributes.erase(Attribute::focusedWindow); }},
        {"focused window of the wrong type",
         [](Scene &s) { s.application->set(Attribute::focusedWindow, u"window"_s); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scene scene;
        ASSERT_TRUE(scene.capture.captureTarget().has_value());
        c.change(scene);
        EXPECT_FALSE(scene.capture.captureTarget().has_value());
        EXPECT_EQ(scene.backend.trustRequests, 0);
    }
}

TEST_F(CaptureTest, ChangeReasonsComeInTheirOrder)
{
    const std::optional<TextInsertionTarget> stored = capture.captureTarget();
    ASSERT_TRUE(stored);
    auto changed = [&](const std::function<void(TextInsertionTarget &)> &change) {
        TextInsertionTarget fresh = *stored;
        change(fresh);
        return capture.changeReason(stored, fresh);
    };

    EXPECT_EQ(capture.changeReason(std::nullopt, stored), u"Ворсик не смог запомнить исходное окно."_s);
    EXPECT_EQ(capture.changeReason(stored, std::nullopt), u"Не удалось определить текущее окно с курсором."_s);
    EXPECT_EQ(changed([](auto &t) {
                  t.applicationPID = 43;
                  t.pageIdentity = u"url:https://other.example/"_s;
              }),
              u"Открыто другое приложение."_s);
    EXPECT_EQ(changed([](auto &t) {
                  t.pageIdentity = u"url:https://other.example/"_s;
                  t.windowFingerprint.number = 1;
              }),
              u"Открыта другая страница."_s);
    EXPECT_EQ(changed([](auto &t) { t.windowFingerprint.number = 1; }), u"Открыто другое окно."_s);
    // A page identity missing on one side is no change; the window rules decide.
    EXPECT_EQ(changed([](auto &t) { t.pageIdentity.reset(); }), std::nullopt);
    EXPECT_EQ(changed([](auto &t) {
                  t.pageIdentity.reset();
                  t.windowFingerprint.number = 1;
              }),
              u"Открыто другое окно."_s);
}
