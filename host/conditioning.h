// Audio conditioning: what the host does to every channel's frames before the
// speech components see them, so that silence in a noisy room reads as
// silence and a close-talk microphone's pick-up of the other speaker does not
// read as its own speaker.
//
// Per channel and frame the conditioner measures the frame's level (RMS about
// the frame mean, dBFS), tracks the channel's noise floor (the minimum frame
// level over a sliding window), and opens a gate while the level stands a
// margin above the floor (with hysteresis and a hangover) and, where the
// noise fluctuates like far-off voices, above the noise's typical level by a
// multiple of its spread and within reach of the channel's loud speech. A frame of a closed
// gate, or one that another channel's louder speech explains (crosstalk), is
// scaled down until its swing lies below the tracker's noise gate, so the
// components read it as silence. Every other frame leaves bit for bit as it
// came: on a clean recording the conditioner changes nothing the components
// would not already call silence. The method and the reasons for every
// default are in docs/conditioning.md.
//
// Thread safety: a Conditioner is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/conditioning_delay.h"
#include "host/conditioning_floor.h"

namespace vornix::host {

// Prefix of the conditioning settings among the parameters a user gives.
inline constexpr std::string_view kConditioningPrefix = "Conditioning.";

// Every setting, its --param name and its default. The defaults are justified
// in docs/conditioning.md.
struct ConditioningSettings {
  // "Conditioning.Enabled": false measures levels but leaves every frame as
  // it came (bit for bit).
  bool enabled = true;
  // "Conditioning.NoiseThreshold": the speech components' gate on
  // ln(amplitude); follows their NoiseThreshold parameter (default 5.0). A
  // frame the conditioner silences leaves with an amplitude of at most half
  // of e^NoiseThreshold.
  double noiseThreshold = 5.0;
  // "Conditioning.NoiseMarginDb": the gate opens at floor + margin.
  double noiseMarginDb = 6.0;
  // "Conditioning.HysteresisDb": an open gate stays open down to
  // floor + margin - hysteresis.
  double hysteresisDb = 3.0;
  // "Conditioning.HangoverMs": frames passed after the level fell below the
  // closing level, so utterance ends fading into noise are not clipped.
  double hangoverMs = 100.0;
  // "Conditioning.HangoverShortDb", "Conditioning.HangoverNoneDb": where
  // the noise is loud enough that the components read it as sound, the
  // hangover shrinks from HangoverMs, while the channel's loud speech stands
  // HangoverShortDb or less over the level at which the gate opens, to none
  // from HangoverNoneDb on (in proportion between them, in whole frames):
  // far over the gate a word's tail closes it by itself, and the frames a
  // hangover passes after it are noise that the components call speech.
  // Over noise they read as silence the hangover costs nothing and keeps the
  // ends of words whose last sounds lie outside the gate's band.
  double hangoverShortDb = 14.0;
  double hangoverNoneDb = 24.0;
  // "Conditioning.BandLowHz", "Conditioning.BandHighHz": the gate measures
  // each frame's level within this band (second-order Butterworth high- and
  // low-pass), where speech has most of its energy and broadband noise only
  // a part of its own. 0 leaves that edge open; a high edge at or above 0.45
  // of the rate is left open too.
  double bandLowHz = 100.0;
  double bandHighHz = 4000.0;
  // "Conditioning.SpeechRelativeDb", "Conditioning.SpeechRelativeMaxDb",
  // "Conditioning.NoiseClearanceDb": where the noise fluctuates like other
  // voices (its spread is typically kFluctuatingSpreadDb or more, see
  // NoiseSpreadFactor) the gate also stays shut below the noise's typical
  // level + NoiseClearanceDb, that level kept between the channel's
  // loud-speech level (the kSpeechQuantile quantile of its band levels)
  // minus SpeechRelativeMaxDb and minus SpeechRelativeDb. Babble far below
  // the channel's own speaker is kept out while the speaker's quieter
  // syllables pass; babble near the speaker's level is kept out at the
  // cost of them. Over stationary noise or silence none of this applies:
  // it would cut the speaker's own quiet words, which the floor gate finds.
  // SpeechRelativeDb 0 turns this off.
  double speechRelativeDb = 6.0;
  double speechRelativeMaxDb = 18.0;
  double noiseClearanceDb = 9.0;
  // "Conditioning.NoiseSpreadFactor": the gate also stays shut below
  // typical + this × spread, where `typical` is the noise's typical level
  // (the kSpreadQuantile quantile of the band levels) and the spread is how
  // far that stands above the floor.
  // Stationary noise (white, pink, a fan) keeps its frames within a dB or
  // two of its minimum, so its spread is small and NoiseMarginDb decides;
  // other voices far off (babble) dip far below their typical level, their
  // minimum lies far under it, and the spread lifts the gate over their
  // peaks. 0 turns this off.
  double noiseSpreadFactor = 1.0;
  // "Conditioning.FloorWindowSeconds": the noise floor is the lowest frame
  // level within this many seconds; a floor that rises follows it after
  // this long, one that falls follows at once.
  double floorWindowSeconds = 5.0;
  // "Conditioning.Crosstalk": reject frames explained by another channel.
  bool crosstalk = true;
  // "Conditioning.CrosstalkMarginDb": a frame is crosstalk while another
  // channel's gate is open, that channel is at least
  // kCrosstalkMinimumDb louder, and this frame stands less than the margin
  // above the other channel's pick-up on this microphone as learned so far
  // (once pick-up has been evidenced: see seekPickup).
  double crosstalkMarginDb = 10.0;
  // "Conditioning.CrosstalkMaxDelayMs": the longest delay (ms) at which a
  // microphone is taken to hear another channel's speaker. Within it the
  // delay is learned from frames of pick-up alone, and a frame that the
  // levels call crosstalk still passes when the other channel's copy at that
  // delay leaves CrosstalkOwnDb more of it unexplained than it leaves of
  // pick-up alone: the quieter speaker talking during an overlap. 0 judges
  // by the levels alone.
  double crosstalkMaxDelayMs = 10.0;
  // "Conditioning.CrosstalkOwnDb": see CrosstalkMaxDelayMs.
  double crosstalkOwnDb = 10.0;
  // "Conditioning.CrosstalkOverBabbleDeviations": over noise that fluctuates
  // like voices, what pick-up alone leaves after the copy is that noise, and
  // it swings; a frame that leaves this many of its mean deviations more
  // than pick-up alone typically does has a voice of its own. Under that the
  // levels decide. Lower finds more of the quieter speaker in an overlap and
  // passes more of the other's words with the babble.
  double crosstalkOverBabbleDeviations = 1.25;
  // "Conditioning.CrosstalkHoldFrames": frames of crosstalk in a row after
  // which an open gate closes although the channel's own voice passed since
  // it opened (8 frames of 1,024 samples at 44.1 kHz are 0.19 s). In an
  // overlap the quieter speaker's words come and go between frames of
  // pick-up; pick-up alone closes the gate at once.
  double crosstalkHoldFrames = 8.0;
  // "Conditioning.SpeechCrestDb": how far a frame of speech peaks over its
  // level. What a copy leaves of a frame has a voice of its own only where
  // its peaks can reach the components' gate; lower lets fainter residue
  // (the hiss a whole-sample copy leaves of a fractional delay) pass.
  double speechCrestDb = 9.0;
  // "Conditioning.CrosstalkTailMs": in a room that reverberates, this
  // microphone hears the other's words go on after they have stopped on
  // their own (between syllables, and after the last), where the other's
  // frame at that moment explains nothing. Where a copy of the other
  // explains pick-up alone poorly (it leaves more than -CrosstalkOwnDb of
  // it: a reverberant path, not one delay), a frame is also judged by the
  // levels against the other's speech of the moments before, taken to die
  // away by 60 dB in this long. 0 turns it off.
  double crosstalkTailMs = 250.0;
  // "Conditioning.SpeechLevelSeconds": time constant (in seconds of speech)
  // of the running speech level.
  double speechLevelSeconds = 10.0;
  // "Conditioning.MinSnrDb": a channel whose speech stands less than this
  // above its noise floor is flagged too noisy.
  double minSnrDb = 10.0;
  // "Conditioning.MinSpeechLevelDbfs": a channel whose speech level is below
  // this (or that has no speech at all) is flagged too quiet.
  double minSpeechLevelDbfs = -55.0;
  // "Conditioning.ResampleHz": while conditioning is on, a recording sampled
  // below this rate reaches the speech components upsampled by the smallest
  // whole factor that reaches it (16 kHz and 8 kHz to 48 kHz, 22.05 kHz to
  // 44.1 kHz), their SamplingFrequency and BufferSize scaled alike so that
  // frame times stay as they are (host/conditioning_resample.h). The
  // conditioner itself works at the recording's rate. 0 turns it off.
  double resampleHz = 44'100.0;
  // "Conditioning.LookAheadSeconds": where the whole recording is at hand
  // (a file), the conditioner first learns its noise, speech levels and
  // pick-up from this many seconds of its start, then conditions it from
  // the first frame with them (Conditioner::startOver), instead of while
  // they form. Live input cannot look ahead. 0 turns it off.
  double lookAheadSeconds = 10.0;
};

// Sets one setting from its --param name (with the "Conditioning." prefix,
// e.g. "Conditioning.NoiseMarginDb") and value text ("6"; for the switches
// on/off, true/false, yes/no or 1/0). False with the reason in `error` when
// the name is unknown or the value malformed or out of range; `settings` is
// then unchanged.
[[nodiscard]] bool setConditioningSetting(ConditioningSettings& settings, std::string_view name,
                                          std::string_view value, std::string& error);

// Applies the "Conditioning."-prefixed assignments ("Name=value") of
// `params` to `settings` and appends the others (the components') to `rest`
// in their order. `gateGiven` is set when one of them named
// Conditioning.NoiseThreshold, so that a caller that derives the gate from
// the components leaves a given one alone. False with "--param <reason>" in
// `error` at the first bad one.
[[nodiscard]] bool takeConditioningParameters(std::span<const std::string> params,
                                              ConditioningSettings& settings,
                                              std::vector<std::string>& rest, bool& gateGiven,
                                              std::string& error);

// One line per setting: "Conditioning.Name=default  what it does", each
// after `indent`.
std::string conditioningSettingsHelp(std::string_view indent = "");

class Conditioner {
 public:
  // `channels` channels (at least 1) of `rate` Hz (at least 1) in frames of
  // `bufferSize` samples (at least 2); throws std::invalid_argument
  // otherwise. `settings` is copied and assumed valid (as
  // setConditioningSetting keeps it).
  Conditioner(std::size_t channels, std::uint32_t rate, std::uint32_t bufferSize,
              const ConditioningSettings& settings);

  // Conditions one step, in place: frame k of every channel (each span holds
  // bufferSize samples), channel order = speaker order. Deterministic: the
  // same frame sequence gives the same output on every run. Throws
  // std::invalid_argument when the channel count or a frame size is wrong.
  void process(std::span<const std::span<std::int16_t>> frames);

  struct ChannelLevels {
    // The channel's noise: the median level of the frames of the silences
    // its gate kept (the noise between the speech, crosstalk left out), in
    // steps of kNoiseBinDb; the mean of the tracked floor while there has
    // been no such silence. A median, not the floor (a minimum), so that noise
    // that fluctuates (other voices) reads at its typical level.
    double noiseFloorDbfs;
    // Running mean power of the frames taken as this channel's speech (an
    // active speech level), in dBFS; NaN while there has been none.
    double speechLevelDbfs;
    // speechLevelDbfs - noiseFloorDbfs (NaN while there is no speech).
    double snrDb;
    bool tooNoisy;  // snrDb < minSnrDb
    bool tooQuiet;  // no speech, or speechLevelDbfs < minSpeechLevelDbfs
    // The floor as tracked at the last frame.
    double currentNoiseFloorDbfs;
    std::uint64_t frames;           // frames processed
    std::uint64_t speechFrames;     // frames passed as this channel's sound
    std::uint64_t crosstalkFrames;  // frames silenced as another's speech
  };
  // Starts the frames over, keeping what the steps processed so far taught
  // of the recording: its noise (floor, typical level, spread), each
  // channel's loud-speech level and the pick-up between channels. Every
  // gate is shut, the band filters and history are as new, the next step
  // counts as the first, and levels() counts only the steps from here on.
  // For a reader that can look ahead (a file): the first seconds are
  // conditioned as the rest, not while the estimates are still forming.
  void startOver();

  // The channel's estimates so far. Precondition: channel < channel count.
  ChannelLevels levels(std::size_t channel) const;

  // Whether the last step's frame of `channel` passed as that channel's
  // sound (gate open, not crosstalk); false before the first step. Throws
  // std::out_of_range for a channel that does not exist.
  bool passed(std::size_t channel) const;
  // Silences `frame` as a frame that did not pass is silenced: a swing that
  // reaches e^NoiseThreshold is scaled to at most half of it. For a copy of
  // such a frame made later in the audio path (upsampled, whose swing can
  // exceed that of the samples it was made from).
  void silence(std::span<std::int16_t> frame) const noexcept;

  // Level (dBFS) of a frame of nothing but zeros; no estimate lies below it.
  static constexpr double kSilenceDbfs = -120.0;
  // The level of the rounding to 16 bits (uniform over one step, a variance
  // of 1/12 step²): 10 log10(1/12) - 20 log10(32768).
  static constexpr double kRoundingDbfs = -101.1;
  // The reported noise level's resolution, and its bins up to 0 dBFS.
  static constexpr double kNoiseBinDb = 0.5;
  static constexpr std::size_t kNoiseBins = 240;
  // Only frames of a silence longer than this (the components' shortest
  // silence) count as noise: the dips between a speaker's words would read
  // as noise with the speech's edges in them.
  static constexpr double kNoiseRunSeconds = 0.3;
  // Crosstalk is only ever another channel at least this much louder
  // (leastDifference)...
  static constexpr double kCrosstalkMinimumDb = 6.0;
  // ... or this much, where the pick-up is strong: a copy of the other
  // explains pick-up alone to within kProvenPickupDb, and the pick-up stands
  // less than twice kCrosstalkMinimumDb below the other.
  static constexpr double kStrongPickupMinimumDb = 3.0;
  static constexpr double kProvenPickupDb = -5.0;
  // The pick-up of one channel on another is the quantile kCouplingQuantile
  // of the level differences seen while the other is open and at least
  // leastDifference louder, tracked in steps of kCouplingStepDb.
  static constexpr double kCouplingQuantile = 0.8;
  static constexpr double kCouplingStepDb = 1.5;
  // A difference this far over the pick-up learned so far is not learned
  // from: the other channel carries a sound this microphone does not hear.
  // In a reverberant room the other's microphone opens on the tail of this
  // channel's speaker, who has fallen silent here, and those differences of
  // 30-50 dB lifted the learned pick-up so far that the other's pick-up
  // passed here for a minute or more.
  static constexpr double kCouplingOutlierDb = 12.0;
  // Pick-up of another channel is evidenced when this channel's gate opens
  // in the step in which the other's opened or at most this many steps
  // later, the other the louder: within about 90 ms at 23 ms frames, as the
  // pick-up of an onset rising through a noise floor does.
  static constexpr std::uint64_t kPickupOnsetFrames = 4;
  // ... after this many steps shut at least: this channel's speaker was
  // silent, not in a stop closure that happened to end as the other began.
  static constexpr std::uint64_t kPickupQuietFrames = 4;
  // Or when the difference holds within kSteadyRangeDb over kSteadyFrames
  // steps of this channel sounding while the other is the louder (about
  // 0.2 s of the other's speech).
  static constexpr std::uint32_t kSteadyFrames = 8;
  static constexpr double kSteadyRangeDb = 3.0;
  // Frames whose level difference lies within this of the learned pick-up
  // are taken as pick-up alone: the delay is learned from them.
  static constexpr double kClearPickupDb = 3.0;
  // Over noise, a frame judged against a louder channel has a voice of its
  // own when what the delayed copy leaves of it stands this much further
  // over the floor than what it leaves of pick-up alone.
  static constexpr double kOwnOverNoiseDb = 2.0;
  // (Over noise that fluctuates like voices: CrosstalkOverBabbleDeviations.)
  // The loud-speech level is the kSpeechQuantile quantile of the frames'
  // band levels, tracked in steps of kSpeechStepDb.
  static constexpr double kSpeechQuantile = 0.95;
  static constexpr double kSpeechStepDb = 0.5;
  // The noise's typical level is the kSpreadQuantile quantile of the band
  // levels in the last kSpreadWindowSeconds, counted in bins of kSpreadBinDb
  // from kSilenceDbfs up to 0 dBFS. A fifth: a channel whose speaker talks
  // most of the time still has that share of its frames in pauses or in the
  // other speaker's turns, where the noise alone is; ten seconds hold a few
  // turns, so one long turn does not lift it into the speech.
  static constexpr double kSpreadQuantile = 0.2;
  static constexpr double kSpreadWindowSeconds = 10.0;
  static constexpr double kSpreadBinDb = 0.5;
  // The spread is measured from the band levels' minimum over this window:
  // babble's minimum over a longer one lies further down, in its rare
  // moments of near silence, and would lift the gate into speech.
  static constexpr double kSpreadFloorSeconds = 2.0;
  // No noise spreads further than this over its floor (babble about 10 dB):
  // a typical level further up lies in speech, and the spread is not used.
  static constexpr double kMaxSpreadDb = 20.0;
  // Nor does noise lie further than this above the lowest band level of the
  // last kSpreadWindowSeconds: babble's quietest moments in ten seconds lie
  // at most about 40 dB under its typical level. A typical level further up
  // is speech over near silence (a speaker who talks most of ten seconds in
  // a clean recording, whose lines outlast the 2 s minimum), and the spread
  // is not used.
  static constexpr double kMaxNoiseDepthDb = 50.0;
  // Noise whose spread over the last kSpreadWindowSeconds is at least this
  // far at the median is taken to fluctuate like voices: white and pink
  // noise stay within about 1 dB, babble about 10 dB. The median over
  // seconds, not the spread of the frame: babble's spread dips under this
  // in a fifth of its frames (a 2 s stretch without a lull), and a clean
  // two-microphone recording's pick-up crosses it in one frame in eight.
  static constexpr double kFluctuatingSpreadDb = 4.0;

 private:
  // A second-order section (direct form I), coefficients normalised.
  struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    double run(double x) noexcept {
      const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
      x2 = x1;
      x1 = x;
      y2 = y1;
      y1 = y;
      return y;
    }
  };
  struct Channel {
    Channel(std::size_t window, std::size_t spreadWindow, std::size_t spreadFloorWindow)
        : floor(window),
          bandFloor(window),
          spread(spreadWindow, kSpreadQuantile, kSilenceDbfs, kSpreadBinDb,
                 static_cast<std::size_t>(-kSilenceDbfs / kSpreadBinDb)),
          spreadFloor(spreadFloorWindow),
          spreadDepth(spreadWindow),
          spreadTypical(spreadWindow, 0.5, 0.0, kSpreadBinDb,
                        static_cast<std::size_t>(kMaxSpreadDb / kSpreadBinDb) + 1) {}
    SlidingMinimum floor;
    SlidingMinimum bandFloor;       // of the band levels, which the gate uses
    SlidingQuantile spread;         // the band levels' typical noise level
    SlidingMinimum spreadFloor;     // their minimum over kSpreadFloorSeconds
    SlidingMinimum spreadDepth;     // their minimum over kSpreadWindowSeconds
    SlidingQuantile spreadTypical;  // the spreads' median over kSpreadWindowSeconds
    std::vector<Biquad> band;       // the band filter, in series
    double floorDb = kSilenceDbfs;
    double bandFloorDb = kSilenceDbfs;
    double loudDb = kSilenceDbfs;  // loud-speech level (band), once known
    bool loudKnown = false;
    double floorSumDb = 0.0;
    bool open = false;
    // The step at which the gate last opened; meaningful while it is open.
    std::uint64_t openedAt = 0;
    // Whether a frame of the channel's own has passed since the gate last
    // opened, and the frames of crosstalk in a row since the last one did.
    bool ownSinceOpened = false;
    std::uint32_t crosstalkRun = 0;
    // Whether the last frame of a shut gate swung over the components' gate.
    bool noiseAudible = false;
    // Steps the gate has been shut, and had been when it last opened.
    std::uint64_t shut = 0;
    std::uint64_t shutBefore = 0;
    std::uint32_t hangover = 0;
    double speechPower = 0.0;  // running mean power of the speech frames (full scale 1)
    std::uint64_t frames = 0;
    std::uint64_t speechFrames = 0;
    std::uint64_t crosstalkFrames = 0;
    std::uint64_t levelFrames = 0;  // frames averaged into speechPower
    std::uint64_t shutFrames = 0;   // frames since the gate last shut
    // Levels of the frames the gate kept shut for over kNoiseRunSeconds,
    // in kNoiseBinDb bins from kSilenceDbfs up (the last bin takes
    // everything louder).
    std::vector<std::uint64_t> noiseLevels = std::vector<std::uint64_t>(kNoiseBins, 0);
    std::uint64_t noiseFrames = 0;
  };
  // How far below another channel's level its speech arrives on this one.
  struct Coupling {
    double db = 0.0;
    bool known = false;   // pick-up evidenced (see kPickupOnsetFrames)
    bool seeded = false;  // db taken from this step's difference
    // Until known: the steps in a row, and the range of their differences,
    // in which this channel sounded while the other was the louder.
    std::uint32_t steady = 0;
    double low = 0.0;
    double high = 0.0;
    double lastOtherDb = kSilenceDbfs;  // the other's level in the step before
    // The other's level while its gate was open, dying away by tailDecayDb_
    // a step since (see CrosstalkTailMs).
    double heldDb = kSilenceDbfs;
  };
  struct FrameLevel {
    double db = kSilenceDbfs;  // RMS about the mean
    double swing = 0.0;        // (max - min) / 2
  };

  static FrameLevel measure(std::span<const std::int16_t> frame) noexcept;
  // A second-order Butterworth high- or low-pass section at `hz`.
  static Biquad butterworth(bool highPass, double hz, std::uint32_t rate);
  // The frame's level (dBFS) within the band, running the channel's filter.
  double bandLevel(Channel& channel, std::span<const std::int16_t> frame) const noexcept;
  // bandStep_ of every channel from its frame: channels with the usual band
  // two at a time (bandLevelsOfPair), others one by one (bandLevel).
  void bandLevels(std::span<const std::span<std::int16_t>> frames) noexcept;
  void bandLevelsOfPair(std::size_t first,
                        std::span<const std::span<std::int16_t>> frames) noexcept;
  // Keeps this step's frames as recorded, after the history the delayed-copy
  // test needs.
  void record(std::span<const std::span<std::int16_t>> frames);
  // What the delayed-copy test says of channel c's frame while channel o
  // speaks louder: kUnknown until the delay and the pick-up are learned, or
  // when a copy explains pick-up alone too poorly to tell (then the levels
  // decide). Learns from the frame when `clearPickup`.
  enum class Copy { kUnknown, kOwnVoice, kPickUp };
  // How much louder channel o must be for c's frame to be judged against it:
  // kCrosstalkMinimumDb; where a copy has proven the pick-up, the learned
  // pick-up less kCrosstalkMinimumDb, but no less than
  // kStrongPickupMinimumDb. Pick-up 10 dB down leaves a difference of about
  // 10 dB that sinks under 6 dB wherever the other's words fade into this
  // channel's noise, and those frames, never judged, passed as sound.
  double leastDifference(std::size_t o, std::size_t c) const noexcept;
  // Whether the pick-up of channel o on c reverberates: a copy at the
  // learned delay leaves more than -CrosstalkOwnDb of pick-up alone (see
  // CrosstalkTailMs). False until the delay and that part are learned.
  bool reverberant(std::size_t o, std::size_t c) const noexcept;
  Copy delayedCopy(std::size_t o, std::size_t c, bool clearPickup, double levelDb);
  void attenuate(std::span<std::int16_t> frame, double swing) const noexcept;
  // Looks in this step for evidence that channel c picks up channel o, which
  // is open and at least kCrosstalkMinimumDb louder (`difference` dB), and
  // starts the pick-up at `difference` when it finds it. Until pick-up is
  // evidenced the levels call nothing crosstalk and nothing is learned: on
  // close-talk recordings without pick-up the only frames of a channel that
  // sound while the other is louder are its own speaker's (a line fading
  // under the other's start, a backchannel), and a pick-up taken from them
  // would reject the rest of such a line. Evidence is
  // - an onset: c's gate opened, after at least kPickupQuietFrames steps
  //   shut, in the step in which o's opened or at most kPickupOnsetFrames
  //   later (a microphone that hears the other speaker sounds when that
  //   speaker starts);
  // - a steady difference: within kSteadyRangeDb over kSteadyFrames steps of
  //   c sounding while o is the louder (pick-up follows the other's level, a
  //   voice of its own rises and falls by its syllables). A step of c shut
  //   starts the count again; steps in which o's level moved by more than
  //   kSteadyRangeDb since the step before (`otherMoved`) are passed over.
  //   This finds the pick-up of a speaker whose first words fall into a line
  //   of c's own, which kept c's gate open;
  // - over noise that fluctuates like voices (babble), a step of c's gate
  //   shut: the pick-up then starts at the distance from o's speech down to
  //   the noise, and a frame of c that sounds within the margin of that,
  //   more likely a peak of the noise than c's speaker, is kept out during
  //   o's turns. From a shut gate only, so that a talkative stretch mistaken
  //   for fluctuating noise starts nothing from its speaker's own lines.
  void seekPickup(Coupling& coupling, std::size_t o, std::size_t c, double difference,
                  double otherMoved) noexcept;

  ConditioningSettings settings_;
  std::uint32_t bufferSize_;
  std::size_t floorWindowFrames_;
  std::uint32_t hangoverFrames_;
  std::uint32_t holdFrames_;  // CrosstalkHoldFrames, whole frames (at least 1)
  double tailDecayDb_;        // dB a step by which a reverberant tail dies away
  std::uint32_t noiseRunFrames_;
  double speechLevelFrames_;
  double targetSwing_;  // the largest swing a silenced frame keeps
  // The level (dBFS) whose peaks, SpeechCrestDb over it, reach the
  // components' gate.
  double audibleDb_;
  std::vector<Channel> channels_;
  std::vector<Coupling> coupling_;  // [other * channels + this]
  // The delayed-copy test, [other * channels + this]; empty when off.
  std::vector<PickupDelay> delays_;
  // Per channel, the samples as recorded: PickupDelay::history() of the
  // frames before, then this step's frame.
  std::vector<std::vector<std::int16_t>> recorded_;
  std::vector<FrameLevel> step_;   // this step's levels, one per channel
  std::vector<double> bandStep_;   // this step's band levels, one per channel
  std::size_t decimation_ = 1;     // samples averaged per band-filter sample
  std::vector<char> open_;         // this step's gate decisions, one per channel
  std::vector<char> passed_;       // this step's frames that passed, one per channel
  std::vector<char> fluctuating_;  // this step's noise fluctuates like voices, per channel
};

}  // namespace vornix::host
