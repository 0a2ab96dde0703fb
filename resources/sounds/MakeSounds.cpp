// Writes the assistant's three sounds as 24000 Hz mono 16-bit WAV files into the folder given.
// Soft bell-like notes (a sine with a quieter octave, quick rise, exponential decay): nothing in them
// resembles speech, and each has its own contour, so they are told apart at once.
#include "voice/audio/Pcm16.h"

#include <QFile>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRate = 24000;

struct Note {
    double startSeconds;
    double frequency; // Hz
    double amplitude;
    double decaySeconds;
};

QByteArray render(double lengthSeconds, const std::vector<Note>& notes)
{
    std::vector<float> samples(static_cast<std::size_t>(lengthSeconds * kRate), 0.0f);
    for (const Note& note : notes) {
        const auto first = static_cast<std::size_t>(note.startSeconds * kRate);
        for (std::size_t i = first; i < samples.size(); ++i) {
            const double t = double(i - first) / kRate;
            const double rise = std::min(1.0, t / 0.006); // no click at the onset
            const double envelope = rise * std::exp(-t / note.decaySeconds);
            const double phase = 2 * M_PI * note.frequency * t;
            samples[i] += static_cast<float>(note.amplitude * envelope * (std::sin(phase) + 0.25 * std::sin(2 * phase)));
        }
    }
    // The last 20 ms fade to silence, so the loop joins without a click.
    const std::size_t fade = kRate / 50;
    for (std::size_t i = 0; i < fade && i < samples.size(); ++i)
        samples[samples.size() - 1 - i] *= static_cast<float>(i) / fade;
    QByteArray pcm(static_cast<qsizetype>(2 * samples.size()), Qt::Uninitialized);
    selvina::voice::toPcm16(samples.data(), samples.size(), pcm.data());
    return selvina::voice::waveFromPcm(pcm, kRate);
}

bool write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    // Work loop: a quiet low "tick … tock" every 1.6 s, calm enough to run for minutes.
    const QByteArray work = render(1.6, {{0.0, 523.25, 0.12, 0.08}, {0.8, 392.0, 0.10, 0.08}});
    // Interrupted: two quick notes falling a fifth.
    const QByteArray interrupted = render(0.32, {{0.0, 880.0, 0.22, 0.06}, {0.11, 587.33, 0.22, 0.07}});
    // End of conversation: three notes down a major triad, slower and longer.
    const QByteArray end = render(0.9, {{0.0, 783.99, 0.2, 0.12}, {0.18, 659.25, 0.2, 0.12}, {0.36, 523.25, 0.22, 0.2}});
    const bool ok = write(folder + QStringLiteral("/praca.wav"), work)
                    && write(folder + QStringLiteral("/przerwane.wav"), interrupted)
                    && write(folder + QStringLiteral("/koniec.wav"), end);
    return ok ? 0 : 1;
}
