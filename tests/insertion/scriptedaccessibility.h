#pragma once

#include "insertion/accessibilitybackend.h"
#include "insertion/keystrokesender.h"
#include "platform/clipboard.h"

#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <ostream>

inline void PrintTo(const TextInsertionOutcome &outcome, std::ostream *out)
{
    *out << "outcome " << int(outcome.kind) << " " << outcome.reason.toStdString();
}

// An element whose attributes the test sets; a read of anything unset fails.
class ScriptedElement final : public AccessibleElement {
public:
    std::map<AccessibilityAttribute, AttributeValue> attributes;

    ScriptedElement &set(AccessibilityAttribute attribute, AttributeValue value)
    {
        attributes[attribute] = std::move(value);
        return *this;
    }
};

using ScriptedElementPtr = std::shared_ptr<ScriptedElement>;

inline ScriptedElementPtr makeElement() { return std::make_shared<ScriptedElement>(); }

// An accessibility API whose answers the test scripts; elements are the same
// object exactly when they are the same ScriptedElement.
class ScriptedAccessibilityBackend final : public AccessibilityBackend {
public:
    bool busEnabled = true;
    int enableRequests = 0;
    std::optional<qint32> frontmost;
    qint32 ownPid = 100;
    std::map<qint32, ScriptedElementPtr> applications;
    int captures = 0; // frontmost look-ups, one per capture

    bool isBusEnabled() override { return busEnabled; }
    void enableBus() override { ++enableRequests; }
    std::optional<qint32> frontmostProcessIdentifier() override { return ++captures, frontmost; }
    qint32 ownProcessIdentifier() override { return ownPid; }
    AccessibleElementRef applicationElement(qint32 pid) override
    {
        auto it = applications.find(pid);
        return it == applications.end() ? nullptr : it->second;
    }
    AttributeValue attribute(const AccessibleElementRef &element, AccessibilityAttribute name) override
    {
        const auto *scripted = dynamic_cast<const ScriptedElement *>(element.get());
        if (!scripted || !scripted->attributes.contains(name))
            return {};
        return scripted->attributes.at(name);
    }
    bool isSameObject(const AccessibleElementRef &a, const AccessibleElementRef &b) override { return a == b; }
    // What a direct insert does to the element; without it every element refuses.
    std::function<bool(const AccessibleElementRef &, const QString &)> onInsert;
    QStringList insertedTexts;
    bool insertText(const AccessibleElementRef &element, const QString &text) override
    {
        insertedTexts.append(text);
        return onInsert && onInsert(element, text);
    }
    // The window in front of a process the bus does not know (no entry in `applications`).
    ScriptedElementPtr frontWindowOnly;
    AccessibleElementRef frontWindow(qint32) override { return frontWindowOnly; }
};

// A clipboard with memory: what it holds, and every write.
class FakeClipboard final : public AbstractClipboard {
public:
    ClipboardSnapshot contents;
    quint64 changes = 0;
    QStringList writtenTexts;
    int restores = 0;
    bool readable = true;

    std::optional<ClipboardSnapshot> snapshot() override { return readable ? std::optional(contents) : std::nullopt; }
    void restore(const ClipboardSnapshot &snapshot) override
    {
        ++restores;
        contents = snapshot;
        ++changes;
    }
    void setText(const QString &text) override
    {
        writtenTexts.append(text);
        copyByUser(text);
    }
    quint64 changeCount() const override { return changes; }
    // Someone else copies.
    void copyByUser(const QString &text)
    {
        contents = ClipboardSnapshot { { { { QStringLiteral("text/plain"), text.toUtf8() } } } };
        ++changes;
    }
};

class FakeKeystrokeSender final : public AbstractKeystrokeSender {
public:
    std::vector<PasteShortcut> sent;
    bool works = true;
    bool reachesTarget = true;
    QString reason;
    std::function<void()> onPaste; // what the focused application does with the keystroke
    std::function<void()> onReaches; // what the desktop does while the way in is chosen
    bool lastResort = false;

    bool forFieldsWithoutDirectInsertion() const override { return lastResort; }

    bool reaches(const TextInsertionTarget &) const override
    {
        if (onReaches)
            onReaches();
        return reachesTarget;
    }
    QString unavailableReason() override { return reason; }

    bool sendPaste(PasteShortcut shortcut) override
    {
        if (!works)
            return false;
        sent.push_back(shortcut);
        if (onPaste)
            onPaste();
        return true;
    }
};
