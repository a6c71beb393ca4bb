#include "core/describederror.h"
#include "fuzzing.h"
#include "services/local/resampler.h"
#include "services/local/wavreader.h"

#include <cmath>

// A WAV file given to --transcribe is read or refused in words; whatever it holds, the samples
// that come out are finite and within full scale, and resampling them stays within the rate's bound.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        const WavAudio audio = readWav(fuzzBytes(data, size));
        FUZZ_EXPECT(audio.sampleRate > 0);
        for (const float sample : audio.samples)
            FUZZ_EXPECT(std::isfinite(sample) && std::fabs(sample) <= 1.0f);
        Resampler resampler(audio.sampleRate);
        const std::size_t resampled = resampler.process(audio.samples).size() + resampler.flush().size();
        FUZZ_EXPECT(resampled <= audio.samples.size() * std::size_t(Resampler::outputRate / 1000) + 1024);
    } catch (const DescribedError &error) {
        FUZZ_EXPECT(!error.description().isEmpty());
    }
    return 0;
}
