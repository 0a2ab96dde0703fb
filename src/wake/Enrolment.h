// Personal enrolment: 3–5 recordings of the user saying "hej Selvina" checked one by one and turned into
// a VoiceProfile, or refused with the reason the user hears.
// Thread: any; blocking computation (about a network run per 80 ms of audio), so off the main thread.
#pragma once

#include "core/Result.h"
#include "wake/VoiceProfile.h"

#include <QString>

#include <optional>
#include <vector>

namespace selvina::wake {

class WakeModel;

class EnrolmentError {
public:
    enum class Kind { tooFewRecordings, silence, noSpeech, tooShort, tooLong, clipped, notThePhrase, differentPhrase };

    static EnrolmentError tooFewRecordings() { return {Kind::tooFewRecordings, 0}; }
    // `recording` counts from 1, as the user hears it.
    static EnrolmentError silence(int recording) { return {Kind::silence, recording}; }
    static EnrolmentError noSpeech(int recording) { return {Kind::noSpeech, recording}; }
    static EnrolmentError tooShort(int recording) { return {Kind::tooShort, recording}; }
    static EnrolmentError tooLong(int recording) { return {Kind::tooLong, recording}; }
    static EnrolmentError clipped(int recording) { return {Kind::clipped, recording}; }
    static EnrolmentError notThePhrase(int recording) { return {Kind::notThePhrase, recording}; }
    static EnrolmentError differentPhrase(int recording) { return {Kind::differentPhrase, recording}; }

    Kind kind() const { return m_kind; }
    int recording() const { return m_recording; } // 0 for tooFewRecordings
    QString description() const;
    bool operator==(const EnrolmentError&) const = default;

private:
    EnrolmentError(Kind kind, int recording) : m_kind(kind), m_recording(recording) {}
    Kind m_kind;
    int m_recording;
};

// `recordings16k`: float samples at 16 kHz, each one saying of the phrase with a little room around it.
// The checks of one recording alone (silence, clipping, noise, length, not the phrase); `number`
// counts from 1 and names it in the error. Run by enrol() on every recording too.
std::optional<EnrolmentError> checkRecording(const WakeModel& model, const std::vector<float>& recording16k, int number);

Result<VoiceProfile, EnrolmentError> enrol(const WakeModel& model, const std::vector<std::vector<float>>& recordings16k);

} // namespace selvina::wake
