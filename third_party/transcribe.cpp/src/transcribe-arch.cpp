// transcribe-arch.cpp - explicit registry of supported architectures.
//
// The registry is a function-local static array of pointers (no static-
// initializer-order dependency on the per-family TUs, grep-able from one
// file). Adding a family is a two-line edit plus the per-family TU.

#include "transcribe-arch.h"

#include <cstring>

namespace transcribe {

// Per-family Arch instances. Defined in src/arch/<family>/model.cpp.
// Verbulo: each family only where it is built (TRANSCRIBE_FAMILIES).
#ifdef TRANSCRIBE_ARCH_PARAKEET
namespace parakeet {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_COHERE
namespace cohere {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_CANARY
namespace canary {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_QWEN3_ASR
namespace qwen3_asr {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_MOSS
namespace moss {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_VOXTRAL
namespace voxtral {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_VOXTRAL_REALTIME
namespace voxtral_realtime {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_CANARY_QWEN
namespace canary_qwen {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_WHISPER
namespace whisper {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_MOONSHINE
namespace moonshine {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_MOONSHINE_STREAMING
namespace moonshine_streaming {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_SENSEVOICE
namespace sensevoice {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_FUNASR_NANO
namespace funasr_nano {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_GIGAAM
namespace gigaam {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_GRANITE
namespace granite {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_GRANITE_NAR
namespace granite_nar {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_MEDASR
namespace medasr {
extern const Arch arch;
}
#endif

#ifdef TRANSCRIBE_ARCH_SORTFORMER
namespace sortformer {
extern const Arch arch;
}
#endif

const Arch * find_arch(const char * name) {
    if (name == nullptr) {
        return nullptr;
    }

    static const Arch * const k_archs[] = {
#ifdef TRANSCRIBE_ARCH_PARAKEET
        &parakeet::arch,
#endif
#ifdef TRANSCRIBE_ARCH_COHERE
        &cohere::arch,
#endif
#ifdef TRANSCRIBE_ARCH_CANARY
        &canary::arch,
#endif
#ifdef TRANSCRIBE_ARCH_QWEN3_ASR
        &qwen3_asr::arch,
#endif
#ifdef TRANSCRIBE_ARCH_MOSS
        &moss::arch,
#endif
#ifdef TRANSCRIBE_ARCH_VOXTRAL
        &voxtral::arch,
#endif
#ifdef TRANSCRIBE_ARCH_VOXTRAL_REALTIME
        &voxtral_realtime::arch,
#endif
#ifdef TRANSCRIBE_ARCH_CANARY_QWEN
        &canary_qwen::arch,
#endif
#ifdef TRANSCRIBE_ARCH_WHISPER
        &whisper::arch,
#endif
#ifdef TRANSCRIBE_ARCH_MOONSHINE
        &moonshine::arch,
#endif
#ifdef TRANSCRIBE_ARCH_MOONSHINE_STREAMING
        &moonshine_streaming::arch,
#endif
#ifdef TRANSCRIBE_ARCH_SENSEVOICE
        &sensevoice::arch,
#endif
#ifdef TRANSCRIBE_ARCH_FUNASR_NANO
        &funasr_nano::arch,
#endif
#ifdef TRANSCRIBE_ARCH_GIGAAM
        &gigaam::arch,
#endif
#ifdef TRANSCRIBE_ARCH_GRANITE
        &granite::arch,
#endif
#ifdef TRANSCRIBE_ARCH_GRANITE_NAR
        &granite_nar::arch,
#endif
#ifdef TRANSCRIBE_ARCH_MEDASR
        &medasr::arch,
#endif
#ifdef TRANSCRIBE_ARCH_SORTFORMER
        &sortformer::arch,
#endif
        nullptr,
    };
    constexpr size_t k_n = sizeof(k_archs) / sizeof(k_archs[0]);

    for (size_t i = 0; i < k_n; ++i) {
        const Arch * a = k_archs[i];
        if (a == nullptr || a->name == nullptr) {
            continue;
        }
        if (std::strcmp(a->name, name) == 0) {
            return a;
        }
    }
    return nullptr;
}

}  // namespace transcribe
