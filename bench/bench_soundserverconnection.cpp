// Start of a recording to its first fragment, opening the connection to the sound
// server at every start (what the recorder does) or keeping one connection and
// opening only the record stream; then the wake-ups per second of a process that
// holds an idle connection. Same stream parameters as the recorder; what the
// recorder adds (its opening thread, the resampler) is the same either way.
// Needs a sound server: run under scripts/headless-session.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
};

struct Source {
    std::string name;
    pa_sample_spec spec {};
    pa_channel_map map {};
    bool found = false;
};

struct First {
    pa_threaded_mainloop *loop;
    bool arrived = false;
};

void fail(const char *what)
{
    std::fprintf(stderr, "%s failed (is a sound server running?)\n", what);
    std::exit(1);
}

void wake(pa_context *, void *loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0); }
void wakeFromStream(pa_stream *, void *loop) { wake(nullptr, loop); }

Connection connectToServer()
{
    Connection c;
    c.loop = pa_threaded_mainloop_new();
    c.context = pa_context_new(pa_threaded_mainloop_get_api(c.loop), "bench");
    pa_threaded_mainloop_start(c.loop);
    pa_threaded_mainloop_lock(c.loop);
    pa_context_set_state_callback(c.context, &wake, c.loop);
    if (pa_context_connect(c.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        fail("connecting");
    while (pa_context_get_state(c.context) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c.context)))
            fail("connecting");
        pa_threaded_mainloop_wait(c.loop);
    }
    pa_threaded_mainloop_unlock(c.loop);
    return c;
}

void disconnect(Connection &c)
{
    pa_threaded_mainloop_lock(c.loop);
    pa_context_disconnect(c.context);
    pa_context_unref(c.context);
    pa_threaded_mainloop_unlock(c.loop);
    pa_threaded_mainloop_stop(c.loop);
    pa_threaded_mainloop_free(c.loop);
}

// Looks up the default source and records from it until the first fragment arrives.
void recordFirstFragment(Connection &c)
{
    pa_threaded_mainloop_lock(c.loop);
    Source source;
    auto onInfo = [](pa_context *, const pa_source_info *info, int, void *self) {
        auto *s = static_cast<std::pair<Source *, pa_threaded_mainloop *> *>(self);
        if (info && !s->first->found)
            *s->first = Source { info->name, info->sample_spec, info->channel_map, true };
        pa_threaded_mainloop_signal(s->second, 0);
    };
    std::pair<Source *, pa_threaded_mainloop *> lookup { &source, c.loop };
    pa_operation *operation = pa_context_get_source_info_by_name(c.context, "@DEFAULT_SOURCE@", onInfo, &lookup);
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
        pa_threaded_mainloop_wait(c.loop);
    pa_operation_unref(operation);
    if (!source.found)
        fail("finding the default source");

    pa_stream *stream = pa_stream_new(c.context, "bench", &source.spec, &source.map);
    First first { c.loop };
    pa_stream_set_state_callback(stream, &wakeFromStream, c.loop);
    pa_stream_set_read_callback(
        stream,
        [](pa_stream *s, size_t, void *self) {
            auto *f = static_cast<First *>(self);
            const void *data = nullptr;
            size_t bytes = 0;
            while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
                pa_stream_drop(s);
                f->arrived = true;
            }
            pa_threaded_mainloop_signal(f->loop, 0);
        },
        &first);
    pa_buffer_attr attributes {};
    attributes.maxlength = attributes.tlength = attributes.prebuf = attributes.minreq = uint32_t(-1);
    attributes.fragsize = 2048 * static_cast<uint32_t>(pa_frame_size(&source.spec));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, source.name.c_str(), &attributes, flags) < 0)
        fail("recording");
    while (!first.arrived) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            fail("recording");
        pa_threaded_mainloop_wait(c.loop);
    }
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    pa_threaded_mainloop_unlock(c.loop);
}

double millisSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void report(const char *what, std::vector<double> millis)
{
    std::sort(millis.begin(), millis.end());
    std::printf("%-34s median %5.1f ms, min %5.1f, max %5.1f (%zu runs)\n", what, millis[millis.size() / 2],
        millis.front(), millis.back(), millis.size());
}

// Context switches of every thread of this process, voluntary and not.
long contextSwitches()
{
    long total = 0;
    DIR *tasks = opendir("/proc/self/task");
    while (dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
        }
    }
    closedir(tasks);
    return total;
}

double wakeUpsPerSecond(std::chrono::seconds span)
{
    const long before = contextSwitches();
    std::this_thread::sleep_for(span);
    return double(contextSwitches() - before) / double(span.count());
}

} // namespace

int main()
{
    constexpr int runs = 40;
    const auto pause = std::chrono::milliseconds(200);
    // The session's null sink renders its monitor on a timer of up to two seconds
    // once nothing is connected, which no microphone does; a sine source keeps time
    // the way a capture device does.
    if (std::system("pactl load-module module-sine-source source_name=bench_sine rate=48000 >/dev/null"
                    " && pactl set-default-source bench_sine")
        != 0)
        fail("loading a sine source");

    std::vector<double> reconnecting;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        Connection c = connectToServer();
        recordFirstFragment(c);
        reconnecting.push_back(millisSince(start));
        disconnect(c);
        std::this_thread::sleep_for(pause);
    }
    const double idleWithout = wakeUpsPerSecond(std::chrono::seconds(10));

    std::vector<double> kept;
    Connection c = connectToServer();
    for (int i = 0; i < runs; ++i) {
        std::this_thread::sleep_for(pause);
        const auto start = Clock::now();
        recordFirstFragment(c);
        kept.push_back(millisSince(start));
    }
    const double idleWith = wakeUpsPerSecond(std::chrono::seconds(10));
    disconnect(c);

    report("connecting at every start:", reconnecting);
    report("connection kept:", kept);
    std::printf("idle wake-ups per second: %.2f without a connection, %.2f with one kept\n", idleWithout, idleWith);
    return 0;
}
