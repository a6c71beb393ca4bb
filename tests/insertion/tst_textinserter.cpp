#include "scriptedaccessibility.h"
#include "testutil.h"
#include "textinserter.h"

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Attribute = AccessibilityAttribute;

void PrintTo(const TextInsertionOutcome &outcome, std::ostream *out)
{
    *out << "outcome " << int(outcome.kind) << " " << outcome.reason.toStdString();
}

namespace {

EditorSnapshot editor(std::optional<QString> value, std::optional<TextRange> range)
{
    return EditorSnapshot{std::move(value), range};
}

struct ConfirmationCase
{
    const char *name;
    QString text;
    std::optional<EditorSnapshot> before;
    std::optional<EditorSnapshot> after;
    bool confirmed;
};

void PrintTo(const ConfirmationCase &c, std::ostream *out) { *out << c.name; }

const EditorSnapshot emptyField = editor(u""_s, TextRange{0, 0});
const EditorSnapshot middleSelected = editor(u"abc"_s, TextRange{1, 1});

const ConfirmationCase confirmationCases[] = {
    {"no after snapshot", u"привет"_s, emptyField, std::nullopt, false},
    {"caret 4 after six characters", u"привет"_s, emptyField, editor(std::nullopt, TextRange{4, 0}), true},
    {"caret 8 after six characters", u"привет"_s, emptyField, editor(std::nullopt, TextRange{8, 0}), true},
    {"caret 3 after six characters", u"привет"_s, emptyField, editor(std::nullopt, TextRange{3, 0}), false},
    {"caret 9 after six characters", u"привет"_s, emptyField, editor(std::nullopt, TextRange{9, 0}), false},
    {"a selection after the paste is no caret", u"привет"_s, emptyField, editor(std::nullopt, TextRange{6, 1}),
     false},
    {"caret rule needs a before range", u"привет"_s, editor(u""_s, std::nullopt),
     editor(std::nullopt, TextRange{6, 0}), false},
    {"lengths in UTF-16 units", u"😀😀😀"_s, emptyField, editor(std::nullopt, TextRange{8, 0}), true},
    {"length rule with a replaced selection", u"xyz"_s, middleSelected, editor(u"axyzc"_s, std::nullopt), true},
    {"caret rule with a replaced selection", u"xyz"_s, middleSelected, editor(std::nullopt, TextRange{4, 0}), true},
    {"length rule tolerates 3", u"hello"_s, emptyField, editor(u"12345678"_s, std::nullopt), true},
    {"length rule stops at 4", u"hello"_s, emptyField, editor(u"123456789"_s, std::nullopt), false},
    {"an unchanged value is never confirmed", u"abc"_s, editor(u"abc"_s, std::nullopt),
     editor(u"abc"_s, std::nullopt), false},
    {"a field with no value and no range", u"abc"_s, editor(std::nullopt, std::nullopt),
     editor(std::nullopt, std::nullopt), false},
    {"content rule without a before snapshot", u"Hello  world"_s, std::nullopt,
     editor(u"x Hello\nworld y"_s, std::nullopt), true},
    {"content rule keeps letter case", u"Hello world"_s, std::nullopt, editor(u"hello world"_s, std::nullopt),
     false},
    {"content rule needs the text to be new", u"Hello"_s, editor(u"Hello there, friend"_s, std::nullopt),
     editor(u"Hello there, friend. Hello and more"_s, std::nullopt), false},
    {"spaces only never confirm by content", u"   "_s, std::nullopt, editor(u"a   b"_s, std::nullopt), false},
};

class ConfirmationTest : public ::testing::TestWithParam<ConfirmationCase>
{
};

} // namespace

TEST_P(ConfirmationTest, AppliesCaretLengthAndContentRules)
{
    const ConfirmationCase &c = GetParam();
    EXPECT_EQ(TextInserter::insertionWasConfirmed(c.text, c.before, c.after), c.confirmed);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfirmationTest, ::testing::ValuesIn(confirmationCases));

TEST(NormalizeForConfirmationTest, CollapsesWhiteSpace)
{
    const std::pair<QString, QString> cases[] = {
        {u"  Привет,\n\t мир  "_s, u"Привет, мир"_s},
        {u"a\u00a0\u2003b\r\nC"_s, u"a b C"_s},
        {u" \n "_s, u""_s},
    };
    for (const auto &[text, normalized] : cases)
        EXPECT_EQ(TextInserter::normalizeForConfirmation(text), normalized);
}

namespace {

ClipboardSnapshot richContents()
{
    return ClipboardSnapshot{{{{u"text/plain"_s, "earlier"}, {u"text/html"_s, "<b>earlier</b>"}},
                              {{u"text/uri-list"_s, "file:///tmp/a"}}}};
}

// A focused text field in a frontmost window; the keystroke types into it like an application would.
class InsertTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        backend.frontmost = 42;
        backend.applications[42] = application;
        application->set(Attribute::focusedWindow, AccessibleElementRef(window));
        application->set(Attribute::focusedUIElement, AccessibleElementRef(field));
        window->set(Attribute::windowNumber, qint64(77)).set(Attribute::title, u"Письмо"_s);
        field->set(Attribute::value, u"Здравствуйте"_s)
            .set(Attribute::selectedTextRange, TextRange{12, 0})
            .set(Attribute::parent, AccessibleElementRef(window));
        clipboard.contents = richContents();
        keys.onPaste = [this] {
            const QString text = QString::fromUtf8(clipboard.contents.items.value(0).value(u"text/plain"_s));
            field->set(Attribute::value, u"Здравствуйте"_s + text).set(Attribute::selectedTextRange,
                                                                      TextRange{12 + text.size(), 0});
        };
    }

    TextInsertionOutcome insert(const QString &text, std::optional<TextInsertionTarget> target)
    {
        return QCoro::waitFor(inserter.insert(text, std::move(target)));
    }

public:

    ScriptedAccessibilityBackend backend;
    FakeClipboard clipboard;
    FakeKeystrokeSender keys;
    TextInserter inserter{backend, clipboard, keys};
    ScriptedElementPtr application = makeElement(u"app"_s);
    ScriptedElementPtr window = makeElement(u"window"_s);
    ScriptedElementPtr field = makeElement(u"field"_s);
};

} // namespace

TEST_F(InsertTest, PastesIntoTheUnchangedTargetAndConfirmsAtTheFirstCheck)
{
    const auto target = inserter.captureTarget();
    ASSERT_TRUE(target);
    const int capturesBefore = backend.captures;
    EXPECT_EQ(insert(u", коллеги!"_s, target), TextInsertionOutcome::inserted());
    EXPECT_EQ(backend.captures - capturesBefore, 2); // before the paste and the first check
    EXPECT_EQ(clipboard.writtenTexts, QStringList{u", коллеги!"_s});
    EXPECT_EQ(keys.sent, std::vector<PasteShortcut>{PasteShortcut::controlV});
}

TEST_F(InsertTest, TerminalsGetControlShiftV)
{
    field->set(Attribute::role, u"terminal"_s);
    EXPECT_EQ(insert(u"ls"_s, inserter.captureTarget()), TextInsertionOutcome::inserted());
    EXPECT_EQ(keys.sent, std::vector<PasteShortcut>{PasteShortcut::controlShiftV});
}

namespace {

// A change of the desktop and the outcome it must lead to.
struct ChangeCase
{
    const char *name;
    std::function<void(InsertTest &)> change;
    TextInsertionOutcome outcome;
};

const ChangeCase otherPage{"another page",
                           [](InsertTest &t) { t.window->set(Attribute::url, u"https://b.example/"_s); },
                           TextInsertionOutcome::targetChanged(u"Открыта другая страница."_s)};
const ChangeCase otherWindow{"another window",
                             [](InsertTest &t) { t.window->set(Attribute::windowNumber, qint64(78)); },
                             TextInsertionOutcome::targetChanged(u"Открыто другое окно."_s)};

} // namespace

TEST_F(InsertTest, PastesNothingWhenTheTargetChanged)
{
    const ChangeCase cases[] = {
        {"not trusted", [](InsertTest &t) { t.backend.trusted = false; },
         TextInsertionOutcome::needsAccessibilityPermission()},
        {"nothing to capture", [](InsertTest &t) { t.backend.frontmost.reset(); },
         TextInsertionOutcome::targetChanged(u"Не удалось определить текущее окно с курсором."_s)},
        {"another application",
         [](InsertTest &t) {
             t.backend.applications[43] = t.application;
             t.backend.frontmost = 43;
         },
         TextInsertionOutcome::targetChanged(u"Открыто другое приложение."_s)},
        otherPage,
        otherWindow,
    };
    for (const ChangeCase &c : cases) {
        SCOPED_TRACE(c.name);
        window->set(Attribute::url, u"https://a.example/"_s).set(Attribute::windowNumber, qint64(77));
        backend = ScriptedAccessibilityBackend();
        SetUp();
        const auto target = inserter.captureTarget();
        ASSERT_TRUE(target);
        c.change(*this);
        EXPECT_EQ(insert(u"текст"_s, target), c.outcome);
        EXPECT_EQ(backend.trustRequests, backend.trusted ? 0 : 1);
        EXPECT_TRUE(clipboard.writtenTexts.isEmpty());
        EXPECT_TRUE(keys.sent.empty());
        EXPECT_EQ(clipboard.contents, richContents());
    }

    EXPECT_EQ(insert(u"текст"_s, std::nullopt),
              TextInsertionOutcome::targetChanged(u"Ворсик не смог запомнить исходное окно."_s));
    EXPECT_TRUE(keys.sent.empty());
}

TEST_F(InsertTest, FinalCaptureDecidesWhenNoCheckConfirms)
{
    const ChangeCase cases[] = {
        {"field that reports nothing, same window", [](InsertTest &) {}, TextInsertionOutcome::inserted()},
        {"window closed", [](InsertTest &t) { t.application->attributes.erase(Attribute::focusedWindow); },
         TextInsertionOutcome::unconfirmed()},
        {"another application",
         [](InsertTest &t) {
             t.backend.applications[43] = makeElement(u"other"_s);
             t.backend.applications[43]->set(Attribute::focusedWindow, AccessibleElementRef(t.window));
             t.backend.frontmost = 43;
         },
         TextInsertionOutcome::targetChanged(u"Открыто другое приложение."_s)},
        otherPage,
        otherWindow,
    };
    for (const ChangeCase &c : cases) {
        SCOPED_TRACE(c.name);
        backend = ScriptedAccessibilityBackend();
        SetUp();
        window->set(Attribute::url, u"https://a.example/"_s).set(Attribute::windowNumber, qint64(77));
        field->attributes.clear();
        field->set(Attribute::parent, AccessibleElementRef(window));
        keys.onPaste = [this, &c] { c.change(*this); };
        const auto target = inserter.captureTarget();
        const int capturesBefore = backend.captures;
        EXPECT_EQ(insert(u"текст"_s, target), c.outcome);
        EXPECT_EQ(backend.captures - capturesBefore, 5); // before, three checks, final
    }
}

TEST_F(InsertTest, KeystrokeThatCannotBeSentIsNotReportedAsInserted)
{
    keys.works = false;
    EXPECT_EQ(insert(u"текст"_s, inserter.captureTarget()), TextInsertionOutcome::unconfirmed());
    ASSERT_TRUE(TestUtil::runUntil([&] { return clipboard.restores == 1; }, 5s));
    EXPECT_EQ(clipboard.contents, richContents());
}

TEST_F(InsertTest, RestoresTheClipboardAfterwardsUnlessSomeoneCopied)
{
    EXPECT_EQ(insert(u"текст"_s, inserter.captureTarget()), TextInsertionOutcome::inserted());
    EXPECT_EQ(clipboard.restores, 0);
    ASSERT_TRUE(TestUtil::runUntil([&] { return clipboard.restores == 1; }, 5s));
    EXPECT_EQ(clipboard.contents, richContents());

    EXPECT_EQ(insert(u"ещё"_s, inserter.captureTarget()), TextInsertionOutcome::inserted());
    clipboard.copyByUser(u"свежее"_s);
    TestUtil::runFor(TextInserter::restoreDelay + 300ms);
    EXPECT_EQ(clipboard.restores, 1);
    EXPECT_EQ(clipboard.contents.items.value(0).value(u"text/plain"_s), u"свежее"_s.toUtf8());
}

TEST_F(InsertTest, BackToBackPastesRestoreTheUsersContents)
{
    EXPECT_EQ(insert(u"первый"_s, inserter.captureTarget()), TextInsertionOutcome::inserted());
    EXPECT_EQ(insert(u"второй"_s, inserter.captureTarget()), TextInsertionOutcome::inserted());
    ASSERT_TRUE(TestUtil::runUntil([&] { return clipboard.restores == 1; }, 5s));
    TestUtil::runFor(300ms);
    EXPECT_EQ(clipboard.restores, 1);
    EXPECT_EQ(clipboard.contents, richContents());
}
