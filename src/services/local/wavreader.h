#pragma once

#include <QByteArray>

#include <vector>

struct WavAudio {
    std::vector<float> samples; // mono, the channels averaged
    double sampleRate = 0;
};

// Reads a RIFF WAVE file of integer PCM (8, 16, 24 or 32 bits) or 32-bit float, any rate and
// channel count, its chunks in any order (WAVE_FORMAT_EXTENSIBLE included). Throws
// LocalRecognitionError::audioUnreadable saying what is wrong, in Russian.
WavAudio readWav(const QByteArray &file);
