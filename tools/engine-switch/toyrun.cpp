// toyrun: load a model with transcribe.cpp, run N s of noise, print what the
// API returns, then (optionally) abort a second run from another thread.
// usage: toyrun MODEL [seconds=2] [threads=2] [abort_after_ms=-1] [language]
#include <transcribe.h>
#include <transcribe/whisper.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
static double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

static std::atomic<bool> g_abort{false};
static std::atomic<int>  g_polls{0};
static Clock::time_point g_abort_set;

static bool abort_cb(void *) {
    g_polls.fetch_add(1, std::memory_order_relaxed);
    return g_abort.load(std::memory_order_relaxed);
}

static void log_cb(transcribe_log_level lvl, const char * msg, void *) {
    if (lvl == TRANSCRIBE_LOG_LEVEL_WARN || lvl == TRANSCRIBE_LOG_LEVEL_ERROR) {
        std::fprintf(stderr, "[log %d] %s%s", (int) lvl, msg,
                     (msg[0] && msg[std::char_traits<char>::length(msg) - 1] == '\n') ? "" : "\n");
    }
}

int main(int argc, char ** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MODEL [seconds] [threads] [abort_after_ms] [language]\n", argv[0]);
        return 2;
    }
    const char * path     = argv[1];
    const double seconds  = argc > 2 ? std::atof(argv[2]) : 2.0;
    const int    threads  = argc > 3 ? std::atoi(argv[3]) : 2;
    const int    abort_ms = argc > 4 ? std::atoi(argv[4]) : -1;
    const char * language = argc > 5 ? argv[5] : nullptr;

    transcribe_log_set(log_cb, nullptr);
    std::printf("transcribe %s (%s)\n", transcribe_version(), transcribe_version_commit());

    auto                      t0    = Clock::now();
    struct transcribe_model * model = nullptr;
    transcribe_status         st    = transcribe_model_load_file(path, nullptr, &model);
    std::printf("load: %d (%s) in %.1f ms\n", (int) st, transcribe_status_string(st), ms_since(t0));
    if (st != TRANSCRIBE_OK) {
        return 1;
    }
    struct transcribe_capabilities caps;
    transcribe_capabilities_init(&caps);
    transcribe_model_get_capabilities(model, &caps);
    std::printf("arch=%s variant=%s backend=%s max_audio_ms=%lld n_languages=%d max_ts=%d cancel=%d prompt=%d\n",
                transcribe_model_arch_string(model), transcribe_model_variant_string(model),
                transcribe_model_backend(model), (long long) caps.max_audio_ms, caps.n_languages,
                (int) caps.max_timestamp_kind, (int) transcribe_model_supports(model, TRANSCRIBE_FEATURE_CANCELLATION),
                (int) transcribe_model_supports(model, TRANSCRIBE_FEATURE_INITIAL_PROMPT));
    int32_t toks[64];
    int     nt = transcribe_tokenize(model, "привет мир", toks, 64);
    std::printf("tokenize(\"привет мир\") -> %d\n", nt);

    struct transcribe_session_params sp;
    transcribe_session_params_init(&sp);
    sp.n_threads                          = threads;
    struct transcribe_session * session   = nullptr;
    st                                    = transcribe_session_init(model, &sp, &session);
    if (st != TRANSCRIBE_OK) {
        std::printf("session_init: %d\n", (int) st);
        return 1;
    }
    transcribe_set_abort_callback(session, abort_cb, nullptr);

    std::mt19937                          rng(42);
    std::uniform_real_distribution<float> dist(-0.1f, 0.1f);
    std::vector<float>                    pcm(static_cast<size_t>(seconds * 16000));
    for (float & s : pcm) {
        s = dist(rng);
    }
    struct transcribe_run_params rp;
    transcribe_run_params_init(&rp);
    rp.language = language;

    for (int pass = 0; pass < 2; ++pass) {
        g_polls = 0;
        t0      = Clock::now();
        st      = transcribe_run(session, pcm.data(), (int) pcm.size(), &rp);
        double wall = ms_since(t0);
        struct transcribe_timings tm;
        transcribe_timings_init(&tm);
        transcribe_get_timings(session, &tm);
        std::printf("run[%d] %.1f s noise: %d (%s) wall %.1f ms (mel %.1f enc %.1f dec %.1f) polls=%d\n", pass,
                    seconds, (int) st, transcribe_status_string(st), wall, tm.mel_ms, tm.encode_ms, tm.decode_ms,
                    g_polls.load());
        std::printf("  n_segments=%d n_words=%d n_tokens=%d ts_kind=%d text=\"%s\"\n", transcribe_n_segments(session),
                    transcribe_n_words(session), transcribe_n_tokens(session),
                    (int) transcribe_returned_timestamp_kind(session), transcribe_full_text(session));
        for (int i = 0; i < transcribe_n_segments(session) && i < 3; ++i) {
            struct transcribe_segment seg;
            transcribe_segment_init(&seg);
            transcribe_get_segment(session, i, &seg);
            std::printf("  seg %d [%lld..%lld] \"%s\"\n", i, (long long) seg.t0_ms, (long long) seg.t1_ms,
                        seg.text ? seg.text : "(null)");
        }
        for (int i = 0; i < transcribe_n_tokens(session) && i < 3; ++i) {
            struct transcribe_token tk;
            transcribe_token_init(&tk);
            transcribe_get_token(session, i, &tk);
            std::printf("  tok %d id=%d p=%f [%lld..%lld] \"%s\"\n", i, tk.id, tk.p, (long long) tk.t0_ms,
                        (long long) tk.t1_ms, tk.text ? tk.text : "(null)");
        }
    }

    if (abort_ms >= 0) {
        g_abort = false;
        g_polls = 0;
        std::thread killer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(abort_ms));
            g_abort_set = Clock::now();
            g_abort     = true;
        });
        t0          = Clock::now();
        st          = transcribe_run(session, pcm.data(), (int) pcm.size(), &rp);
        auto t_end  = Clock::now();
        killer.join();
        double total = std::chrono::duration<double, std::milli>(t_end - t0).count();
        double after = std::chrono::duration<double, std::milli>(t_end - g_abort_set).count();
        std::printf("abort run: flag set at %d ms; run returned %d (%s) after %.1f ms total, %.1f ms after the flag; "
                    "was_aborted=%d polls=%d\n",
                    abort_ms, (int) st, transcribe_status_string(st), total, after,
                    (int) transcribe_was_aborted(session), g_polls.load());
    }
    transcribe_session_free(session);
    transcribe_model_free(model);
    return 0;
}
