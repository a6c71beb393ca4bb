#include "platform/wayland/waylandclipboard.h"

#include "core/blockingwork.h"
#include "core/logging.h"
#include "platform/wayland/waylandconnection.h"

#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <QDeadlineTimer>

#include <QCoro/QCoroFuture>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <map>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

using Formats = QMap<QString, QByteArray>;

// Writes all of `bytes` unless the reader goes away or stalls past the deadline. A reader that
// closes early must not end this program, so SIGPIPE is held back on this thread and discarded.
void writeAll(int fd, const QByteArray &bytes, QDeadlineTimer deadline)
{
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        pollfd pfd { fd, POLLOUT, 0 };
        if (::poll(&pfd, 1, int(deadline.remainingTime())) <= 0)
            break;
    }
    const timespec now { 0, 0 };
    while (sigtimedwait(&pipeSignal, nullptr, &now) > 0) { }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(fd);
}

// What a look at the selection found: our own contents, nothing, or pipes to read the owner's formats from.
struct SelectionRead {
    bool available = false;
    std::optional<Formats> own;
    std::vector<std::pair<QString, int>> pipes;
};

} // namespace

WaylandClipboard::PipeRead WaylandClipboard::readPipes(
    std::vector<std::pair<QString, int>> pipes, QDeadlineTimer deadline, qsizetype limit)
{
    PipeRead result;
    std::vector<QByteArray> buffers(pipes.size());
    std::vector<bool> open(pipes.size(), true);
    qsizetype total = 0;
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<size_t> which;
        for (size_t i = 0; i < pipes.size(); ++i) {
            if (open[i]) {
                fds.push_back({ pipes[i].second, POLLIN, 0 });
                which.push_back(i);
            }
        }
        if (fds.empty() || deadline.hasExpired() || ::poll(fds.data(), fds.size(), int(deadline.remainingTime())) <= 0)
            break;
        for (size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents)
                continue;
            const size_t i = which[k];
            char chunk[65536];
            const ssize_t n = ::read(pipes[i].second, chunk, sizeof chunk);
            if (n > 0 && total + n > limit) {
                open[i] = false;
                total -= buffers[i].size();
                buffers[i] = QByteArray();
                result.tooLarge.append(pipes[i].first);
            } else if (n > 0) {
                buffers[i].append(chunk, n);
                total += n;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                open[i] = false;
                // A format the owner lists but cannot deliver is left out.
                if (n == 0 && !buffers[i].isEmpty())
                    result.delivered.insert(pipes[i].first, buffers[i]);
                else
                    result.failed.append(pipes[i].first);
            }
        }
    }
    for (size_t i = 0; i < pipes.size(); ++i) {
        if (open[i])
            result.tooSlow.append(pipes[i].first);
        ::close(pipes[i].second);
    }
    return result;
}

struct WaylandClipboard::State {
    static const zwlr_data_control_device_v1_listener deviceListener;
    static const zwlr_data_control_offer_v1_listener offerListener;
    static const zwlr_data_control_source_v1_listener sourceListener;

    // Connection thread only.
    zwlr_data_control_device_v1 *device = nullptr;
    std::map<zwlr_data_control_offer_v1 *, QStringList> announced;
    zwlr_data_control_offer_v1 *selection = nullptr;
    QStringList selectionFormats;
    zwlr_data_control_offer_v1 *primary = nullptr;
    std::map<zwlr_data_control_source_v1 *, Formats> sources;
    // Our latest clipboard source until someone else's replaces it: a new selection meanwhile is its echo.
    zwlr_data_control_source_v1 *ownSelection = nullptr;
    // Clearings of ours whose empty selection has not come back yet.
    int clearEchoes = 0;

    std::atomic<bool> finished { false };
    std::atomic<quint64> changeCount { 0 };

    zwlr_data_control_offer_v1 *takeOffer(zwlr_data_control_offer_v1 *offer, QStringList *formats)
    {
        auto it = announced.find(offer);
        if (it != announced.end()) {
            if (formats)
                *formats = std::move(it->second);
            announced.erase(it);
        }
        return offer;
    }

    void newSelection(zwlr_data_control_offer_v1 *offer)
    {
        if (selection)
            zwlr_data_control_offer_v1_destroy(selection);
        selectionFormats.clear();
        selection = takeOffer(offer, &selectionFormats);
        if (!offer && clearEchoes > 0)
            --clearEchoes;
        else if (!ownSelection)
            ++changeCount;
    }

    zwlr_data_control_source_v1 *offerSource(zwlr_data_control_manager_v1 *manager, Formats formats)
    {
        zwlr_data_control_source_v1 *source = zwlr_data_control_manager_v1_create_data_source(manager);
        for (auto it = formats.cbegin(); it != formats.cend(); ++it)
            zwlr_data_control_source_v1_offer(source, it.key().toUtf8().constData());
        zwlr_data_control_source_v1_add_listener(source, &sourceListener, this);
        sources.emplace(source, std::move(formats));
        return source;
    }

    void destroy()
    {
        for (auto &[offer, formats] : announced)
            zwlr_data_control_offer_v1_destroy(offer);
        announced.clear();
        for (zwlr_data_control_offer_v1 *offer : { selection, primary }) {
            if (offer)
                zwlr_data_control_offer_v1_destroy(offer);
        }
        selection = primary = nullptr;
        for (auto &[source, formats] : sources)
            zwlr_data_control_source_v1_destroy(source);
        sources.clear();
        ownSelection = nullptr;
        if (device)
            zwlr_data_control_device_v1_destroy(device);
        device = nullptr;
    }
};

const zwlr_data_control_device_v1_listener WaylandClipboard::State::deviceListener = {
    [](void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
        auto *state = static_cast<State *>(data);
        state->announced.emplace(offer, QStringList());
        zwlr_data_control_offer_v1_add_listener(offer, &offerListener, state);
    },
    [](void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
        static_cast<State *>(data)->newSelection(offer);
    },
    [](void *data, zwlr_data_control_device_v1 *) {
        auto *state = static_cast<State *>(data);
        qCWarning(lcInsertion) << "the compositor withdrew the clipboard's data control";
        state->finished = true;
        state->destroy();
    },
    [](void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
        auto *state = static_cast<State *>(data);
        if (state->primary)
            zwlr_data_control_offer_v1_destroy(state->primary);
        state->primary = state->takeOffer(offer, nullptr);
    },
};

const zwlr_data_control_offer_v1_listener WaylandClipboard::State::offerListener = {
    [](void *data, zwlr_data_control_offer_v1 *offer, const char *format) {
        auto *state = static_cast<State *>(data);
        auto it = state->announced.find(offer);
        if (it != state->announced.end())
            it->second.append(QString::fromUtf8(format));
    },
};

const zwlr_data_control_source_v1_listener WaylandClipboard::State::sourceListener = {
    [](void *data, zwlr_data_control_source_v1 *source, const char *format, int32_t fd) {
        auto *state = static_cast<State *>(data);
        auto it = state->sources.find(source);
        const QByteArray bytes
            = it != state->sources.end() ? it->second.value(QString::fromUtf8(format)) : QByteArray();
        // A reader that takes its time must not stall the connection's thread.
        (void)BlockingWork::run([fd, bytes] { writeAll(fd, bytes, QDeadlineTimer(std::chrono::seconds(5))); });
    },
    [](void *data, zwlr_data_control_source_v1 *source) {
        auto *state = static_cast<State *>(data);
        if (state->ownSelection == source)
            state->ownSelection = nullptr;
        state->sources.erase(source);
        zwlr_data_control_source_v1_destroy(source);
    },
};

WaylandClipboard::WaylandClipboard(WaylandConnection &connection)
    : m_connection(connection)
    , m_state(std::make_shared<State>())
{
    const WaylandConnection::Offers offers = m_connection.offers();
    if (!offers.dataControl || !offers.seat) {
        m_state->finished = true;
        qCWarning(lcInsertion) << "the compositor offers no clipboard data control";
        return;
    }
    // Made on the connection's thread before any read or write queued after it.
    m_connection.post([state = m_state, &connection] {
        const WaylandConnection::Globals &globals = connection.globals();
        if (!globals.dataControl || !globals.seat) {
            state->finished = true;
            return;
        }
        state->device = zwlr_data_control_manager_v1_get_data_device(globals.dataControl, globals.seat);
        zwlr_data_control_device_v1_add_listener(state->device, &State::deviceListener, state.get());
    });
}

WaylandClipboard::~WaylandClipboard()
{
    m_connection.post([state = m_state] { state->destroy(); });
}

bool WaylandClipboard::isAvailable() const { return !m_state->finished && m_connection.isAlive(); }

std::optional<ClipboardSnapshot> WaylandClipboard::snapshot() { return QCoro::waitFor(readSnapshot()); }

QCoro::Task<std::optional<ClipboardSnapshot>> WaylandClipboard::readSnapshot()
{
    const QDeadlineTimer deadline(readTimeout);
    // The pipes are opened on the connection's thread; the owner fills them while this side reads.
    const std::function<SelectionRead()> look = [state = m_state] {
        SelectionRead read;
        if (state->finished)
            return read;
        read.available = true;
        if (state->ownSelection) {
            read.own = state->sources[state->ownSelection];
            return read;
        }
        if (!state->selection)
            return read;
        for (const QString &format : std::as_const(state->selectionFormats)) {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0)
                break;
            zwlr_data_control_offer_v1_receive(state->selection, format.toUtf8().constData(), fds[1]);
            ::close(fds[1]);
            read.pipes.emplace_back(format, fds[0]);
        }
        return read;
    };
    const std::optional<SelectionRead> read = co_await m_connection.ask(look);
    if (!read || !read->available)
        co_return std::nullopt;
    ClipboardSnapshot snapshot;
    if (read->own) {
        snapshot.items.append(*read->own);
        co_return snapshot;
    }
    if (read->pipes.empty())
        co_return snapshot;
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    auto reading = BlockingWork::run([pipes = read->pipes, deadline] { return readPipes(pipes, deadline); });
    PipeRead pipes = co_await reading;
    // Format names only: what they hold is the user's.
    if (!pipes.tooSlow.isEmpty() || !pipes.tooLarge.isEmpty())
        qCWarning(lcInsertion).nospace() << "clipboard formats left out of the copy that is put back after a paste: "
                                         << pipes.tooSlow << " not delivered within " << readTimeout.count() << " ms, "
                                         << pipes.tooLarge << " past " << readLimit / (1024 * 1024) << " MiB";
    // An owner that lists formats and delivers none could not be read.
    if (pipes.delivered.isEmpty())
        co_return std::nullopt;
    snapshot.items.append(std::move(pipes.delivered));
    co_return snapshot;
}

void WaylandClipboard::restore(const ClipboardSnapshot &snapshot)
{
    // The clipboard holds one item; several recorded items merge, the first holder of a format winning.
    Formats formats;
    for (const Formats &item : snapshot.items) {
        for (auto it = item.cbegin(); it != item.cend(); ++it) {
            if (!formats.contains(it.key()))
                formats.insert(it.key(), it.value());
        }
    }
    ++m_state->changeCount;
    m_connection.post([state = m_state, formats = std::move(formats), &connection = m_connection] {
        zwlr_data_control_manager_v1 *manager = connection.globals().dataControl;
        if (state->finished || !manager)
            return;
        if (formats.isEmpty()) {
            state->ownSelection = nullptr;
            ++state->clearEchoes;
            zwlr_data_control_device_v1_set_selection(state->device, nullptr);
            return;
        }
        state->ownSelection = state->offerSource(manager, formats);
        zwlr_data_control_device_v1_set_selection(state->device, state->ownSelection);
    });
}

namespace {

Formats textFormats(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    Formats formats;
    for (const QString &format :
        { u"text/plain;charset=utf-8"_s, u"text/plain"_s, u"UTF8_STRING"_s, u"STRING"_s, u"TEXT"_s })
        formats.insert(format, utf8);
    return formats;
}

} // namespace

void WaylandClipboard::setText(const QString &text) { restore(ClipboardSnapshot { { textFormats(text) } }); }

void WaylandClipboard::setSelectionText(const QString &text)
{
    m_connection.post([state = m_state, formats = textFormats(text), &connection = m_connection] {
        zwlr_data_control_manager_v1 *manager = connection.globals().dataControl;
        if (state->finished || !manager
            || zwlr_data_control_device_v1_get_version(state->device)
                < ZWLR_DATA_CONTROL_DEVICE_V1_SET_PRIMARY_SELECTION_SINCE_VERSION)
            return;
        zwlr_data_control_device_v1_set_primary_selection(state->device, state->offerSource(manager, formats));
    });
}

quint64 WaylandClipboard::changeCount() const { return m_state->changeCount; }
