// fmchip.h - a YM3812 (OPL2) compatible FM synthesis chip, computed in the log domain
// with integer arithmetic. One heap record per chip; the shared tables are process-wide.
// The render path (FmChipRender, FmChipRenderUntil) runs on the audio thread, 44100 samples
// a second.
//
// Index
//   Units and tables ......... attenuation steps, AttenLinTable, LogWaveTable, constants
//   Records .................. FmOperator, FmChannel, FmRenderWork, FmChip
//   Lifecycle ................ FmChipCreate, FmChipReset, FmChipDestroy
//   Register writes .......... FmChipWrite, key sources, status and IRQ
//   Time and output .......... FmChipSettleAttacks, FmChipRender, FmChipRenderUntil
//   Tap, mute and solo ....... FmChipSetTap, FmChipSetMute, FmChipSetPortable, FmChipSetAvx2
#pragma once

#include <cstdint>

// --- Units and tables --------------------------------------------------------------------
// A fine step is a factor of 2^(-1/256); an attenuation step is 8 fine steps (2^(-1/32)).
// Operator levels are counted in attenuation steps, 0 loudest .. 511 silent. Table indices
// into AttenLinTable, and LogWaveTable entries, have the form 2*a + s (a in fine steps,
// s the sign bit).

constexpr int FmAttenLinSize = 6144;  // also the "silent" LogWaveTable value
constexpr int FmLogWaveSize = 4096;   // 4 waveforms x 1024 phase positions

extern int32_t AttenLinTable[FmAttenLinSize];  // written only by FmChipInitTables
extern uint16_t LogWaveTable[FmLogWaveSize];   // written only by FmChipInitTables

extern const int32_t OperatorSlotMap[32];
extern const uint32_t KslAttenTable[128];
extern const uint32_t KslShiftTable[4];
extern const uint32_t SustainTable[16];
extern const uint8_t MultipleTable[16];
extern const uint8_t EgStepRows[15 * 8];
extern const uint8_t EgRowTable[96];
extern const uint8_t EgShiftTable[96];
extern const uint8_t TremoloTable[210];
extern const int8_t VibratoTable[8 * 16];

// Fills AttenLinTable and LogWaveTable. Idempotent; called by FmChipCreate when the
// process-wide chip count goes from 0 to 1. Must not run while any chip renders.
void FmChipInitTables();

// --- Records -----------------------------------------------------------------------------

enum FmEgPhase : uint8_t { EgOff = 0, EgRelease = 1, EgSustain = 2, EgDecay = 3, EgAttack = 4 };

// Key sources, bits of FmOperator::keySources.
enum : uint32_t { FmKeyRegister = 1, FmKeyRhythm = 2, FmKeyCsm = 4 };

// Status bits of FmChip::statusReg.
enum : uint8_t { FmStatusIrq = 0x80, FmStatusTimer1 = 0x40, FmStatusTimer2 = 0x20 };

struct FmOperator {
    uint32_t attackRate;         // 0 when AR = 0, else 16 + 4*AR
    uint32_t decayRate;          // 0 when DR = 0, else 16 + 4*DR
    uint32_t releaseRate;        // 0 when RR = 0, else 16 + 4*RR
    uint8_t ksrShift;            // 2 with KSR clear, 0 with KSR set
    uint8_t kslShift;            // KslShiftTable[KSL]
    uint8_t rateKeyOffset;       // channel keyCode >> ksrShift
    uint8_t multiple;            // MultipleTable[MULT], twice the frequency multiple
    uint32_t phase;              // 16.16; bits 16-25 index the waveform
    uint32_t phaseStep;          // channel freqStep * multiple
    uint8_t feedbackShift;       // first operator only: 0, or FB + 7
    int32_t feedbackHistory[2];  // first operator only: last two outputs, older first
    uint8_t connection;          // first operator only: 0 FM, 1 additive
    uint8_t sustainHold;         // 0x20 when EG type is set
    uint8_t egPhase;             // FmEgPhase
    uint32_t totalLevel;         // TL * 4
    int32_t baseAtten;           // totalLevel + (keyScaleAtten >> kslShift)
    int32_t envAtten;            // 0..511
    uint32_t sustainLevel;       // SustainTable[SL]
    uint8_t attackShift, attackRow;
    uint8_t decayShift, decayRow;
    uint8_t releaseShift, releaseRow;
    uint32_t keySources;   // FmKeyRegister | FmKeyRhythm | FmKeyCsm
    uint32_t tremoloMask;  // 0xFFFFFFFF with AM set, else 0
    uint8_t vibratoOn;     // 0x40 with VIB set, else 0
    uint16_t waveBase;     // waveform * 1024
};

struct FmChannel {
    FmOperator ops[2];       // modulator, carrier
    uint32_t freqReg;        // block << 10 | f-number
    uint32_t freqStep;       // fnumStepTable[fnum] >> (7 - block)
    uint32_t keyScaleAtten;  // KslAttenTable[freqReg >> 6]
    uint8_t keyCode;         // block * 2 + note-select bit
};

// Sources of the mix, as the tap reports them and mute and solo select them: 0-8 are chip channels
// 0-8; while rhythm mode is on, channels 6-8 carry 0 and the five rhythm instruments carry their
// output (at the doubled rhythm amplitude).
enum : int {
    FmTapBd = 9,
    FmTapSd = 10,
    FmTapTt = 11,
    FmTapCy = 12,
    FmTapHh = 13,
    FmTapSources = 14
};
constexpr uint32_t FmTapAllSources = (1u << FmTapSources) - 1;

// What the chip reports of each source while a tap is set. The sources are taken before
// mute and solo, so a meter still shows what a muted channel plays; their sum equals the mix
// of an unmuted chip. Owned by the caller; the chip writes it during renders only.
// One sample of every source (a source never passes +-8168, so 16 bits hold it); lanes 14
// and 15, and the sources the rhythm mode leaves silent, are 0.
struct alignas(16) FmTapRow {
    int16_t source[16];
};
struct FmChipTap {
    FmTapRow* rows;              // optional buffer of capacity rows (stems); nullptr: meters only
    uint32_t capacity;           // rows the buffer holds
    uint32_t count;              // rows written since the caller last set it to 0
    int32_t peak[FmTapSources];  // largest |output| since the caller last zeroed it
    bool rowsOnly;               // set: the peaks are not kept (a tap that wants only the rows)
};
// Copies n rows out into one buffer per source (nullptr: that source is skipped). The tap
// keeps whole rows so that the render thread only stores them; whoever writes per-source
// files splits them, on its own thread. Returns the sources that are not 0 in some row (bit s
// for source s), skipped ones included.
uint32_t FmTapRowsSplit(const FmTapRow* rows, uint32_t n, int16_t* const out[FmTapSources]);

constexpr int FmOps = 18;  // operators of a chip
// Operator lanes: the operators and six that stay silent, so that the output stage and the
// phase updates run in whole vectors (eight 16-bit or four 32-bit lanes).
constexpr int FmOpLanes = 24;
constexpr int FmPhaseLanes = FmOpLanes;
// Envelope shifts run 0..12.
constexpr uint32_t FmDueLevels = 13;

// The render loop's working set, private to the chip. Phases and feedback history are the chip's
// own while the set is current (they go back into the operator records after every call); the rest
// is derived from the records and derived anew at the first render after workStale is set.
// Per-operator values sit in lane 2 * channel + operator; a lane that does not apply is 0.
struct FmRenderWork {
    alignas(16) uint32_t phase[FmPhaseLanes];
    alignas(16) uint32_t step[FmPhaseLanes];  // phase step at the current vibrato column
    // First operators: their last two outputs, older first.
    alignas(16) int16_t history0[FmOpLanes];
    alignas(16) int16_t history1[FmOpLanes];
    // FmLinearTable from 16 x (baseAtten + envAtten + tremolo), held at the silent 6144.
    const int16_t* level[FmOps];
    const uint16_t* wave[FmOps];               // the operator's waveform in LogWaveTable
    alignas(16) uint16_t waveBase[FmOpLanes];  // the same as an offset, for the vector stage
    // First operators: 2^feedbackShift with feedback, so that the feedback sum times it, high
    // half, is the sum moved by the shift in waveform steps.
    alignas(16) int16_t feedbackScale[FmOpLanes];
    alignas(16) int16_t modulationMask[FmOpLanes];  // second operators: all ones with FM
    alignas(16) int16_t additiveMask[FmOpLanes];    // first operators: all ones when additive
    // What the plain mix (no mute, no tap) weighs the operators' outputs with, without [0] and
    // with [1] rhythm mode: a second operator's output once (a rhythm instrument's twice, the
    // tom-tom's and cymbal's are added apart), a first operator's previous output once where
    // its connection is additive.
    alignas(16) int16_t outputWeight[2][FmOpLanes];
    alignas(16) int16_t previousWeight[2][FmOpLanes];
    uint32_t tremoloOps;  // operators with tremolo
    // Operators whose envelope can change on a tick whose counter has z trailing zero bits
    // (z capped at FmDueLevels - 1): those that can move, with their phase's shift <= z, less
    // those whose step is sure to leave them as they are (an increment of 0).
    uint32_t dueAtZeros[FmDueLevels];
    uint32_t dueLevels;           // bit z set where dueAtZeros[z] is not empty
    uint16_t filedLevels[FmOps];  // the levels whose due masks hold operator k
    // Operators out of hearing for good (a release, or a percussive tone's sustain, at or past
    // the silent level): they are in no due mask, and take the steps of the ticks after
    // deferredFrom[k] at once when the working set goes back.
    uint32_t deferred;
    uint32_t deferredFrom[FmOps];
    uint32_t audible;       // operators whose attenuation is below the silent level
    uint32_t quietSamples;  // samples in a row with no operator audible
    uint32_t noiseSamples;  // samples whose noise steps are still to be taken (no rhythm)
    // Envelope ticks not yet taken off the running timers' counts, and the tick (counted the
    // same way) on which the first of them reaches 0; 0 while no timer runs.
    uint32_t timerTicks, timerDue;
    // Samples before the LFO counters are next looked at (no top byte can move sooner), and
    // that count as it was when they were last brought up to date: the difference is the
    // samples whose steps they have yet to take.
    uint32_t lfoLeft, lfoSpan;
};

typedef void (*FmIrqHook)(void* param, int line);
typedef void (*FmBeforeWriteHook)(void* param);

constexpr uint32_t FmAllOps = (1u << 18) - 1;  // one bit per operator, 2 * channel + operator
constexpr uint32_t FmEgAccumWrap = 65536;      // egAccum's worth of one envelope tick

struct FmChip {
    FmChannel channels[9];
    uint32_t egCounter;
    uint32_t egAccum;
    uint32_t egAccumStep;  // also the noise generator's step
    uint8_t rhythmBits;    // register 0xBD & 0x3F
    uint32_t fnumStepTable[1024];
    uint32_t tremoloLevel;
    int32_t vibratoIndex;
    uint8_t tremoloDeep;  // 0xBD & 0x80
    uint8_t vibratoDeep;  // 8 or 0
    uint32_t tremoloCounter;
    uint32_t tremoloStep;
    uint32_t vibratoCounter;
    uint32_t vibratoStep;
    // floor((2^32 - 1) / step) (0 for a step of 0), so that the render loop divides by a step
    // with one multiplication.
    uint32_t tremoloInverse, vibratoInverse, egStepInverse;
    uint32_t noiseShift;
    uint32_t noiseAccum;
    uint32_t noiseStep;
    uint8_t waveSelectEnable;  // register 0x01 & 0x20
    uint32_t timerPeriod[2];   // envelope ticks
    uint32_t timerCount[2];
    uint8_t timerRunning[2];
    FmIrqHook irqHook;  // told when the IRQ bit changes; may be empty
    void* irqHookParam;
    FmBeforeWriteHook beforeWriteHook;  // run before register changes; may be empty
    void* beforeWriteParam;
    uint8_t addressLatch;  // latched by the caller; never read by the chip itself
    uint8_t statusReg;     // FmStatusIrq | FmStatusTimer1 | FmStatusTimer2
    uint8_t irqEnableMask;
    uint8_t modeReg;   // register 0x08: bit 7 CSM, bit 6 note select
    uint32_t clockHz;  // 3579545
    uint32_t sampleRate;
    double rateRatio;   // clockHz / 72 / sampleRate; 0 when sampleRate is 0
    FmChipTap* tap;     // told every source of every rendered sample; may be empty
    uint32_t muteMask;  // sources left out of the mix (bit i = source i)
    uint32_t soloMask;  // when nonzero, only these sources (less the muted) are mixed
    uint32_t mixMask;   // the sources mixed, from the two masks
    // Operators (bit 2 * channel + operator) whose attack may have become due since the
    // attacks were last settled: those a register write touched, and all after a render.
    uint32_t unsettledOps;
    FmRenderWork work;
    uint8_t workStale;  // set by every change the render loop did not make: derive anew
    // Operators (bit 2 * channel + operator) that register writes changed: the next render
    // derives only them and their channels, unless workStale asks for everything.
    uint32_t staleOps;
    // Set by writes to registers 0x00-0x1F (timers, mode, waveform select), which change no
    // derived value but the timers' schedule: only that is derived anew.
    uint8_t timersStale;
    uint8_t portable;  // the output stage without vectors, as on machines that lack them
    uint8_t avx2;      // the vector stage's loops in their AVX2 build (where the machine has it)
};
// Code that changes operator or channel fields by hand rather than through FmChipWrite sets
// workStale, or the next render goes on with what it derived before.

// --- Lifecycle ---------------------------------------------------------------------------

constexpr uint32_t FmChipClockHz = 3579545;

// Creates a chip at sampleRate (any value, 0 included). Returns nullptr when out of memory.
// The chip is not reset: call FmChipReset before the first write or render. Main thread.
FmChip* FmChipCreate(uint32_t sampleRate);
// Internal to FmChipCreate: rateRatio and every rate-dependent step.
void FmChipInitRates(FmChip* chip);
// Power-on register state through FmChipWrite (never through beforeWriteHook).
void FmChipReset(FmChip* chip);
// Frees the chip; the shared tables stay.
void FmChipDestroy(FmChip* chip);
// The process-wide count of live chips (for diagnostics and tests).
uint32_t FmChipCount();
// How many times the shared tables have been built in this process (for tests).
uint32_t FmChipTableBuilds();

// --- Register writes ---------------------------------------------------------------------
// None of these allocate, lock or use floating point. Callers serialise writes with rendering.

void FmChipWrite(uint8_t reg, FmChip* chip, uint8_t value);
void FmOperatorKeyOn(FmOperator* op, uint32_t source);
void FmOperatorKeyOff(FmOperator* op, uint32_t keep);
void FmOperatorUpdateFreq(FmChannel* channel, FmOperator* op);
void FmChipStatusSet(FmChip* chip, uint8_t flags);
void FmChipStatusClear(FmChip* chip, uint8_t flags);
void FmChipSetIrqMask(FmChip* chip, uint8_t mask);

// --- Time and output ---------------------------------------------------------------------

// Ends at once every attack that the current envelope tick would end. Render-path safe.
void FmChipSettleAttacks(FmChip* chip);
// The before-write hook the program installs: param is the address of an FmChip* .
void SettleAttacksHook(void* param);
// Renders count samples into outputs[0] and outputs[1] (same mono sum in both).
// count 0 only settles attacks; count < 0 does nothing. Runs 44100 times a second per chip:
// integer only, no allocation, no locking, no division.
void FmChipRender(FmChip* chip, int count, int32_t* outputs[2]);
// Renders up to count samples (the mono sum) into output, and stops early after the first
// sample at whose end statusReg & stopMask is nonzero. Returns the samples rendered (0 for
// count <= 0). Rendering n samples in runs gives the same samples and state as n calls of
// FmChipRender with count 1. Same rules as FmChipRender.
int FmChipRenderUntil(FmChip* chip, int count, int32_t* output, uint8_t stopMask);

// --- Tap, mute and solo ------------------------------------------------------------------
// These may be called between renders on the thread that renders (or under the lock that
// keeps renders and writes apart); they allocate nothing. Mute and solo outlive a reset.

// Renders with the portable output stage (on) or the vector one where the machine has it
// (off, as after creation); both give the same samples. For tests and benchmarks.
void FmChipSetPortable(FmChip* chip, bool on);
// Renders the vector stage with its loops built for AVX2 (on, as after creation, where the
// machine has AVX2) or for the baseline SSE2 (off); both give the same samples. For tests and
// benchmarks.
void FmChipSetAvx2(FmChip* chip, bool on);
// Sets the tap that every render from now on reports to; nullptr turns it off.
void FmChipSetTap(FmChip* chip, FmChipTap* tap);
// Leaves out of the mix the sources in muteMask and, when soloMask is nonzero, every source
// not in it. Both 0 (as after creation): every source is mixed.
void FmChipSetMute(FmChip* chip, uint32_t muteMask, uint32_t soloMask);
