// The insertion rules against a scripted accessibility API: which window and page a target is,
// when a paste counts as confirmed, and what the inserter does with both.
#include "insertion/targetcapture.h"
#include "insertion/textinserter.h"
#include "platform/wayland/waylandclipboard.h"
#include "scriptedaccessibility.h"
#include "testutil.h"

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Attribute = AccessibilityAttribute;
using Outcome = TextInsertionOutcome;

namespace {

// A window fingerprint; each case states only what differs from an ordinary titled frame.
struct Print {
    std::optional<qint64> number = std::nullopt;
    std::optional<QString> role = u"frame"_s;
    std::optional<QString> identifier = std::nullopt;
    std::optional<QString> title = u"Документ"_s;
    std::optional<QRectF> frame = QRectF(100, 100, 800, 600);

    operator WindowFingerprint() const { return { number, role, identifier, title, frame }; }
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
    { "same element, one missing title", {}, { .title = std::nullopt }, true, true },
    { "same element, canonically equal titles", { .title = u"caf\u00e9"_s }, { .title = u"cafe\u0301"_s }, true, true },
    { "same element ignores frames", {}, { .frame = std::nullopt }, true, true },
    { "other element, frame 24.5 wider", {}, { .frame = QRectF(100, 100, 824.5, 600) }, false, false },
    { "other element, moved 24.0 left and up", {}, { .frame = QRectF(76, 76, 800, 600) }, false, true },
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

EditorSnapshot editor(std::optional<QString> value, std::optional<TextRange> range = std::nullopt)
{
    return EditorSnapshot { std::move(value), range };
}

EditorSnapshot caret(qint64 location, qint64 length = 0)
{
    return editor(std::nullopt, TextRange { location, length });
}

struct ConfirmationCase {
    const char *name;
    QString text;
    std::optional<EditorSnapshot> before;
    std::optional<EditorSnapshot> after;
    bool confirmed;
};

void PrintTo(const ConfirmationCase &c, std::ostream *out) { *out << c.name; }

const EditorSnapshot emptyField = editor(u""_s, TextRange { 0, 0 });
const EditorSnapshot middleSelected = editor(u"abc"_s, TextRange { 1, 1 });

const ConfirmationCase confirmationCases[] = {
    { "no after snapshot", u"привет"_s, emptyField, std::nullopt, false },
    { "caret 4 after six characters", u"привет"_s, emptyField, caret(4), true },
    { "caret 8 after six characters", u"привет"_s, emptyField, caret(8), true },
    { "caret 3 after six characters", u"привет"_s, emptyField, caret(3), false },
    { "caret 9 after six characters", u"привет"_s, emptyField, caret(9), false },
    { "a selection after the paste is no caret", u"привет"_s, emptyField, caret(6, 1), false },
    { "caret rule needs a before range", u"привет"_s, editor(u""_s), caret(6), false },
    { "lengths in UTF-16 units", u"😀😀😀"_s, emptyField, caret(8), true },
    { "length rule with a replaced selection", u"xyz"_s, middleSelected, editor(u"axyzc"_s), true },
    { "caret rule with a replaced selection", u"xyz"_s, middleSelected, caret(4), true },
    { "length rule tolerates 3", u"hello"_s, emptyField, editor(u"12345678"_s), true },
    { "length rule stops at 4", u"hello"_s, emptyField, editor(u"123456789"_s), false },
    { "an unchanged value is never confirmed", u"abc"_s, editor(u"abc"_s), editor(u"abc"_s), false },
    { "a field with no value and no range", u"abc"_s, editor(std::nullopt), editor(std::nullopt), false },
    { "content rule collapses any white space", u" Hello \t world\r\n"_s, std::nullopt,
        editor(u"x Hello\u00a0\u2003\nworld y"_s), true },
    { "content rule keeps letter case", u"Hello world"_s, std::nullopt, editor(u"hello world"_s), false },
    { "content rule needs the text to be new", u"Hello"_s, editor(u"Hello there, friend"_s),
        editor(u"Hello there, friend. Hello and more"_s), false },
    { "spaces only never confirm by content", u"   "_s, std::nullopt, editor(u"a   b"_s), false },
};

class ConfirmationTest : public ::testing::TestWithParam<ConfirmationCase> { };

TEST_P(ConfirmationTest, AppliesCaretLengthAndContentRules)
{
    const ConfirmationCase &c = GetParam();
    EXPECT_EQ(InsertionConfirmation::insertionWasConfirmed(c.text, c.before, c.after), c.confirmed);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfirmationTest, ::testing::ValuesIn(confirmationCases));

TEST(InsertedExactlyTest, FindsTheTextAtOnePlaceAndNothingElseChanged)
{
    struct Case {
        QString before, after, text;
        bool exact;
    };
    const Case cases[] = {
        { u"ab"_s, u"a🙂b"_s, u"🙂"_s, true },
        { u"aaa"_s, u"aaaa"_s, u"a"_s, true },
        { u"мир"_s, u"Привет, мир"_s, u"Привет, "_s, true },
        { u"ab"_s, u"a🙂"_s, u"🙂"_s, false }, // something else went missing
        { u"ab"_s, u"ab🙂🙂"_s, u"🙂"_s, false }, // more than the text arrived
        { u""_s, u"Приве"_s, u"Привет"_s, false }, // cut short
        { u"ab"_s, u"ab"_s, u""_s, false },
    };
    for (const Case &c : cases)
        EXPECT_EQ(InsertionConfirmation::insertedExactly(c.before, c.after, c.text), c.exact) << c.after.toStdString();
}

// The copy of a Wayland clipboard before a paste: what an owner delivers in time and within the limit.
// The keys every key-code sender presses: terminals get Ctrl+Shift+V, xterm-likes Shift+Insert.
TEST(PasteKeyCodesTest, ModifiersFirstThenTheKey)
{
    EXPECT_EQ(pasteKeyCodes(PasteShortcut::controlV), (std::vector<uint32_t> { KEY_LEFTCTRL, KEY_V }));
    EXPECT_EQ(
        pasteKeyCodes(PasteShortcut::controlShiftV), (std::vector<uint32_t> { KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_V }));
    EXPECT_EQ(pasteKeyCodes(PasteShortcut::shiftInsert), (std::vector<uint32_t> { KEY_LEFTSHIFT, KEY_INSERT }));
}

TEST(ClipboardPipesTest, ReadsWithinTheDeadlineAndTheLimitAndNamesWhatItLeftOut)
{
    int small[2], large[2], slow[2], empty[2];
    for (int *ends : { small, large, slow, empty })
        ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(small[1], "earlier", 7) + ::write(large[1], QByteArray(2000, 'x').constData(), 2000), 2007);
    ::close(small[1]), ::close(empty[1]);
    const WaylandClipboard::PipeRead read
        = WaylandClipboard::readPipes({ { u"text/plain"_s, small[0] }, { u"image/png"_s, large[0] },
                                          { u"image/bmp"_s, slow[0] }, { u"text/html"_s, empty[0] } },
            QDeadlineTimer(200ms), 1024);
    EXPECT_EQ(read.delivered, (QMap<QString, QByteArray> { { u"text/plain"_s, "earlier" } }));
    EXPECT_EQ(QList({ read.tooLarge, read.tooSlow, read.failed }),
        QList<QStringList>({ { u"image/png"_s }, { u"image/bmp"_s }, { u"text/html"_s } }));
    ::close(large[1]), ::close(slow[1]);
}

ClipboardSnapshot richContents()
{
    return ClipboardSnapshot { { { { u"text/plain"_s, "earlier" }, { u"text/html"_s, "<b>earlier</b>" } },
        { { u"text/uri-list"_s, "file:///tmp/a" } } } };
}

// A focused text field in the frontmost window of a web page; the keystroke types into it as an application would.
class InsertTest : public ::testing::Test {
public:
    void SetUp() override
    {
        backend = ScriptedAccessibilityBackend();
        clipboard = FakeClipboard();
        keys = FakeKeystrokeSender();
        application = makeElement();
        window = makeElement();
        field = makeElement();
        backend.frontmost = 42;
        backend.applications[42] = application;
        application->set(Attribute::focusedWindow, AccessibleElementRef(window))
            .set(Attribute::focusedElement, AccessibleElementRef(field));
        window->set(Attribute::windowId, qint64(77))
            .set(Attribute::url, u"https://a.example/"_s)
            .set(Attribute::title, u" Письмо "_s)
            .set(Attribute::position, QPointF(10, 20))
            .set(Attribute::size, QSizeF(640, 480));
        field->set(Attribute::value, u"Здравствуйте"_s)
            .set(Attribute::editable, qint64(1))
            .set(Attribute::selectedTextRange, TextRange { 12, 0 })
            .set(Attribute::parent, AccessibleElementRef(window));
        clipboard.contents = richContents();
        keys.onPaste = [this] {
            const QString typed = std::get<QString>(field->attributes[Attribute::value])
                + QString::fromUtf8(clipboard.contents.items.value(0).value(u"text/plain"_s));
            field->set(Attribute::value, typed).set(Attribute::selectedTextRange, TextRange { typed.size(), 0 });
        };
    }

    Outcome insert(const QString &text, std::optional<TextInsertionTarget> target)
    {
        return QCoro::waitFor(inserter.insert(text, std::move(target)));
    }
    Outcome insert(const QString &text) { return insert(text, QCoro::waitFor(inserter.captureTarget())); }

    ScriptedAccessibilityBackend backend;
    TargetCapture capture { backend };
    FakeClipboard clipboard;
    FakeKeystrokeSender keys;
    TextInserter inserter { backend, clipboard, keys };
    ScriptedElementPtr application, window, field;
};

TEST_F(InsertTest, CaptureYieldsNothingWithoutAPlaceToPaste)
{
    const std::pair<const char *, std::function<void()>> cases[] = {
        { "no focused window of the right type", [&] { application->set(Attribute::focusedWindow, u"window"_s); } },
        { "application element unavailable", [&] { backend.applications.clear(); } },
        { "this program is frontmost", [&] { backend.ownPid = 42; } },
        { "no frontmost application", [&] { backend.frontmost.reset(); } },
        { "accessibility bus off", [&] { backend.busEnabled = false; } },
    };
    for (const auto &[name, change] : cases) {
        SCOPED_TRACE(name);
        SetUp();
        change();
        EXPECT_FALSE(capture.captureTarget().has_value());
        EXPECT_EQ(backend.enableRequests, 0);
    }
}

TEST_F(InsertTest, CaptureRecordsTheTargetAndChangeReasonsComeInTheirOrder)
{
    const std::optional<TextInsertionTarget> stored = capture.captureTarget();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->window, window);
    EXPECT_EQ(stored->focusedElement, field);
    EXPECT_EQ(stored->pageIdentity, u"url:https://a.example/"_s);
    EXPECT_EQ(stored->windowFingerprint.frame, QRectF(10, 20, 640, 480));
    const std::optional<QString> page = stored->pageIdentity, otherPage = u"url:https://other.example/"_s;
    auto reason = [&](qint32 pid, std::optional<QString> pageIdentity, qint64 number) {
        TextInsertionTarget fresh = *stored;
        fresh.applicationPID = pid;
        fresh.pageIdentity = pageIdentity;
        fresh.windowFingerprint.windowId = number;
        return capture.changeReason(stored, fresh);
    };
    EXPECT_EQ(reason(43, otherPage, 1), u"Открыто другое приложение."_s);
    EXPECT_EQ(reason(42, otherPage, 1), u"Открыта другая страница."_s);
    EXPECT_EQ(reason(42, page, 1), u"Открыто другое окно."_s);
    // A page identity missing on one side is no change; the window rules decide.
    EXPECT_EQ(reason(42, std::nullopt, 77), std::nullopt);
    EXPECT_EQ(reason(42, std::nullopt, 1), u"Открыто другое окно."_s);
}

TEST_F(InsertTest, PastesIntoTheUnchangedTargetAndConfirmsAtTheFirstCheck)
{
    const auto target = QCoro::waitFor(inserter.captureTarget());
    const int capturesBefore = backend.captures;
    EXPECT_EQ(insert(u", коллеги!"_s, target), Outcome::inserted());
    EXPECT_EQ(backend.captures - capturesBefore, 2); // before the paste and the first check
    EXPECT_EQ(clipboard.writtenTexts, QStringList { u", коллеги!"_s });

    // The terminal widget right around its text area.
    const ScriptedElementPtr terminal = makeElement();
    terminal->set(Attribute::role, u"terminal"_s).set(Attribute::parent, AccessibleElementRef(window));
    field->set(Attribute::parent, AccessibleElementRef(terminal));
    EXPECT_EQ(insert(u"ls"_s), Outcome::inserted());
    // A terminal known by name whose text area reports no text role and no editing.
    field->set(Attribute::role, u"filler"_s)
        .set(Attribute::editable, qint64(0))
        .set(Attribute::parent, AccessibleElementRef(window));
    application->set(Attribute::title, u"/usr/bin/Konsole"_s);
    EXPECT_EQ(insert(u"pwd"_s), Outcome::inserted());
    // Known by the Wayland app id of its window.
    application->set(Attribute::title, u"term-frontend"_s);
    window->set(Attribute::windowClass, u"org.gnome.Terminal"_s);
    EXPECT_EQ(insert(u"id"_s), Outcome::inserted());
    using enum PasteShortcut;
    EXPECT_EQ(keys.sent, (std::vector { controlV, controlShiftV, controlShiftV, controlShiftV }));
}

// The target is captured, then the desktop changes before the paste or as the keystroke lands:
// nothing goes into a changed target, and where no check confirms, the last look decides.
TEST_F(InsertTest, PastesOnlyIntoTheCapturedTargetAndTheLastLookDecides)
{
    using Change = std::function<void()>;
    struct Case {
        const char *name;
        Change before, after;
        Outcome outcome;
        bool pastes;
    };
    // A field that reports no text: no check can confirm.
    const Change silentField = [&] {
        field->attributes = { { Attribute::parent, AccessibleElementRef(window) }, { Attribute::editable, qint64(1) } };
    };
    // A window the accessibility bus does not know: only the window in front is seen.
    const Change windowOnly = [&] {
        backend.applications.clear();
        backend.frontWindowOnly = window;
        window->attributes = { { Attribute::windowId, qint64(77) }, { Attribute::title, u"Terminal"_s } };
    };
    const auto onPaste = [&](const Change &change) { return Change([&, change] { keys.onPaste = change; }); };
    const Case cases[] = {
        { "another window before the paste", {}, [&] { window->set(Attribute::windowId, qint64(78)); },
            Outcome::targetChanged(u"Открыто другое окно."_s), false },
        { "nothing captured", [&] { backend.frontmost.reset(); }, [&] { backend.frontmost = 42; },
            Outcome::targetChanged(u"Ворсик не смог запомнить исходное окно."_s), false },
        { "focus takes no text", {}, [&] { field->set(Attribute::editable, qint64(0)); }, Outcome::unconfirmed(),
            false },
        { "keystroke cannot reach the window", {}, [&] { keys.reachesTarget = false; }, Outcome::unconfirmed(), false },
        { "accessibility off", {}, [&] { backend.busEnabled = false; }, Outcome::needsAccessibilityPermission(),
            false },
        { "field refuses the text", {}, onPaste([] {}), Outcome::unconfirmed(), true },
        { "field refuses the text, caret unreadable", [&] { field->attributes.erase(Attribute::selectedTextRange); },
            onPaste([] {}), Outcome::unconfirmed(), true },
        { "silent field, same window", silentField, onPaste([] {}), Outcome::inserted(), true },
        { "silent field, focus moves to something that takes no text", silentField,
            onPaste([&] { field->set(Attribute::editable, qint64(0)); }), Outcome::unconfirmed(), true },
        { "silent field, focus unreadable", silentField,
            onPaste([&] { application->attributes.erase(Attribute::focusedElement); }), Outcome::unconfirmed(), true },
        { "silent field, window closed", silentField,
            onPaste([&] { application->attributes.erase(Attribute::focusedWindow); }), Outcome::unconfirmed(), true },
        { "silent field, another application", silentField, onPaste([&] {
             backend.applications[43] = makeElement();
             backend.applications[43]->set(Attribute::focusedWindow, AccessibleElementRef(window));
             backend.frontmost = 43;
         }),
            Outcome::targetChanged(u"Открыто другое приложение."_s), true },
        { "silent field, another page", silentField,
            onPaste([&] { window->set(Attribute::url, u"https://b.example/"_s); }),
            Outcome::targetChanged(u"Открыта другая страница."_s), true },
        { "silent field, another window", silentField, onPaste([&] { window->set(Attribute::windowId, qint64(78)); }),
            Outcome::targetChanged(u"Открыто другое окно."_s), true },
        { "window only, same window and title", windowOnly, [] {}, Outcome::inserted(), true },
        { "window only, another title", windowOnly, [&] { window->set(Attribute::title, u"Другой"_s); },
            Outcome::targetChanged(TargetCapture::otherWindowReason), false },
        { "window only, keystroke not sent", windowOnly, [&] { keys.works = false; },
            Outcome::unconfirmed(TargetCapture::noTextFieldReason), true },
        { "window only, no keystroke goes out here", windowOnly,
            [&] { keys.reachesTarget = false, keys.reason = u"Нет разрешения."_s; },
            Outcome::unconfirmed(u"Нет разрешения."_s), false },
        { "window only, window gone", windowOnly, [&] { backend.frontWindowOnly.reset(); },
            Outcome::targetChanged(TargetCapture::noCurrentWindowReason), false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.before)
            c.before();
        const auto target = QCoro::waitFor(inserter.captureTarget());
        c.after();
        EXPECT_EQ(insert(u"текст"_s, target), c.outcome);
        EXPECT_EQ(clipboard.writtenTexts.size(), c.pastes ? 1 : 0);
        EXPECT_EQ(keys.sent.size(), c.pastes && keys.works ? 1u : 0u);
        EXPECT_EQ(backend.enableRequests, c.outcome == Outcome::needsAccessibilityPermission() ? 1 : 0);
    }
}

// The way in by the field's toolkit and state: straight over the accessibility bus, the paste, or the
// second only where the first left the field as it was; the text never lands twice or elsewhere.
TEST_F(InsertTest, ChoosesTheDirectInsertOrThePasteAndNeverBoth)
{
    const auto append = [&](qsizetype length) {
        return [&, length](const AccessibleElementRef &, const QString &text) {
            field->set(Attribute::value, std::get<QString>(field->attributes[Attribute::value]) + text.left(length));
            return true;
        };
    };
    const auto movesFocus = [&](const std::function<void()> &move) {
        return [&, move] { backend.onInsert = append(-1), keys.onReaches = move; };
    };
    struct Case {
        const char *name;
        const char *toolkit;
        std::function<void()> change;
        Outcome outcome;
        int directs, pastes;
    };
    const Case cases[] = {
        { "GTK field takes it straight", "gtk", [&] { backend.onInsert = append(-1); }, Outcome::inserted(), 1, 0 },
        { "GTK field with a selection: the paste replaces it", "gtk",
            [&] {
                backend.onInsert = append(-1), field->set(Attribute::selectedTextRange, TextRange { 0, 5 });
            },
            Outcome::inserted(), 0, 1 },
        { "GTK password field: the paste", "gtk",
            [&] { backend.onInsert = append(-1), field->set(Attribute::role, u"password text"_s); },
            Outcome::inserted(), 0, 1 },
        { "no keystroke, a password field shows bullets: kept, no reason claimed", "Qt",
            [&] {
                backend.onInsert = append(1), keys.reachesTarget = false,
                field->set(Attribute::role, u"password text"_s);
            },
            Outcome::unconfirmed(), 1, 0 },
        { "Qt field: the paste keeps validators and undo", "Qt", [&] { backend.onInsert = append(-1); },
            Outcome::inserted(), 0, 1 },
        { "Gecko field: the paste", "Gecko", [&] { backend.onInsert = append(-1); }, Outcome::inserted(), 0, 1 },
        { "unknown toolkit: the paste", nullptr, [&] { backend.onInsert = append(-1); }, Outcome::inserted(), 0, 1 },
        { "GTK field refuses and stays as it was: the paste follows", "gtk", [] {}, Outcome::inserted(), 1, 1 },
        { "GTK field cuts the text: kept, no paste on top", "gtk", [&] { backend.onInsert = append(2); },
            Outcome::unconfirmed(FieldAccess::fieldAlteredReason), 1, 0 },
        { "no keystroke reaches a Qt field: straight", "Qt",
            [&] { backend.onInsert = append(-1), keys.reachesTarget = false; }, Outcome::inserted(), 1, 0 },
        { "no keystroke and the field refuses: kept", "Qt", [&] { keys.reachesTarget = false; }, Outcome::unconfirmed(),
            1, 0 },
        { "keystrokes only for fields without a direct way: a Qt field straight", "Qt",
            [&] { backend.onInsert = append(-1), keys.lastResort = true; }, Outcome::inserted(), 1, 0 },
        { "keystrokes only for fields without a direct way: Gecko drops it, the paste follows", "Gecko",
            [&] { keys.lastResort = true; }, Outcome::inserted(), 1, 1 },
        { "keystroke not sent to a Qt field: straight after", "Qt",
            [&] { backend.onInsert = append(-1), keys.works = false; }, Outcome::inserted(), 1, 0 },
        { "focus moves to another field meanwhile", "gtk",
            movesFocus([&] { application->set(Attribute::focusedElement, AccessibleElementRef(makeElement())); }),
            Outcome::targetChanged(FieldAccess::otherFieldReason), 0, 0 },
        { "focus moves to another window meanwhile", "gtk",
            movesFocus([&] { window->set(Attribute::windowId, qint64(78)); }),
            Outcome::targetChanged(TargetCapture::otherWindowReason), 0, 0 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        backend.onInsert = {};
        if (c.toolkit)
            field->set(Attribute::toolkit, QString::fromLatin1(c.toolkit));
        c.change();
        EXPECT_EQ(insert(u"текст"_s), c.outcome);
        EXPECT_EQ(backend.insertedTexts.size(), c.directs);
        EXPECT_EQ(keys.sent.size(), size_t(c.pastes));
        EXPECT_LE(std::get<QString>(field->attributes[Attribute::value]).count(u"текст"_s), 1);
    }
}

TEST_F(InsertTest, RestoresTheClipboardOnceAfterBackToBackPastesUnlessSomeoneCopied)
{
    EXPECT_EQ(insert(u"первый"_s), Outcome::inserted());
    EXPECT_EQ(insert(u"второй"_s), Outcome::inserted());
    EXPECT_EQ(clipboard.restores, 0);
    ASSERT_TRUE(TestUtil::runUntil([&] { return clipboard.restores == 1; }, 5s));
    TestUtil::runFor(300ms);
    EXPECT_EQ(clipboard.restores, 1);
    EXPECT_EQ(clipboard.contents, richContents());

    EXPECT_EQ(insert(u"ещё"_s), Outcome::inserted());
    clipboard.copyByUser(u"свежее"_s);
    TestUtil::runFor(ClipboardPaste::restoreDelay + 300ms);
    EXPECT_EQ(clipboard.restores, 1);
    EXPECT_EQ(clipboard.contents.items.value(0).value(u"text/plain"_s), u"свежее"_s.toUtf8());

    // What could not be read is not put back as an empty clipboard.
    clipboard.readable = false;
    EXPECT_EQ(insert(u"снова"_s), Outcome::inserted());
    TestUtil::runFor(ClipboardPaste::restoreDelay + 300ms);
    EXPECT_EQ(clipboard.restores, 1);
    EXPECT_EQ(clipboard.writtenTexts.last(), u"снова"_s);
    EXPECT_FALSE(clipboard.contents.items.isEmpty());

    // A keystroke that could not be sent is no insertion, and the clipboard still comes back.
    clipboard.readable = true;
    clipboard.contents = richContents();
    keys.works = false;
    EXPECT_EQ(insert(u"текст"_s), Outcome::unconfirmed());
    ASSERT_TRUE(TestUtil::runUntil([&] { return clipboard.restores == 2; }, 5s));
    EXPECT_EQ(clipboard.contents, richContents());
}

} // namespace
