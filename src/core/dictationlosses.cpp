#include "core/dictationlosses.h"

#include "core/boundedchunkstream.h"

using namespace Qt::StringLiterals;

void DictationLosses::clear()
{
    m_notes.clear();
    m_lostAudio.clear();
}

void DictationLosses::note(const QString &message)
{
    if (!m_notes.contains(message))
        m_notes.append(message);
}

void DictationLosses::add(const AudioLoss &loss)
{
    const std::chrono::milliseconds to = loss.from + loss.length;
    // A stall that goes on while the consumer takes a chunk now and then is still one stretch.
    if (!m_lostAudio.empty() && loss.from <= m_lostAudio.back().second + std::chrono::seconds(1))
        m_lostAudio.back().second = std::max(m_lostAudio.back().second, to);
    else
        m_lostAudio.emplace_back(loss.from, to);
}

QString DictationLosses::text() const
{
    const auto clock = [](std::chrono::seconds at) {
        return u"%1:%2"_s.arg(at.count() / 60).arg(qint64(at.count() % 60), 2, 10, QChar(u'0'));
    };
    QStringList stretches;
    for (const auto &[from, to] : m_lostAudio)
        stretches.append(clock(std::chrono::floor<std::chrono::seconds>(from)) + u'–'
            + clock(std::chrono::ceil<std::chrono::seconds>(to)));
    QStringList notes = m_notes;
    if (!stretches.isEmpty())
        notes.append(u"Часть записи потеряна: %1."_s.arg(stretches.join(u", "_s)));
    return notes.join(u' ');
}
