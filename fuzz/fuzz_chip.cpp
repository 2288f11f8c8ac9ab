// fuzz_chip.cpp - libFuzzer target: the FM chip alone. The input is a program of register
// writes and short renders, run on two chips at once: one renders each stretch in one call,
// the other one sample per call. Their outputs must agree sample for sample, and after every
// step every operator's level stays within 0..511, its envelope phase is one of the five,
// and each sample stays within what nine doubled-amplitude channels can sum to. The chip's
// rendering loop is built without the fuzzer's coverage hooks (see CMakeLists.txt): there
// they would cost far more than they find.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fmchip/fmchip.h"

namespace {

constexpr int MaxSamplesPerInput = 1024;
constexpr int MaxStretch = 256;

FmChip* Block;
FmChip* Single;
int32_t Bound;

void Check(bool ok) {
    if (!ok) abort();
}

void CheckState(const FmChip* chip) {
    for (const FmChannel& ch : chip->channels)
        for (const FmOperator& op : ch.ops) {
            Check(op.envAtten >= 0 && op.envAtten <= 511);
            Check(op.egPhase <= EgAttack);
        }
    Check(chip->statusReg == (chip->statusReg & (FmStatusIrq | FmStatusTimer1 | FmStatusTimer2)));
}

void Render(int count) {
    static int32_t blockOut[MaxStretch], singleOut[MaxStretch], spare[MaxStretch];
    int32_t* block[2] = {blockOut, spare};
    FmChipRender(Block, count, block);
    for (int i = 0; i < count; i++) {
        int32_t* one[2] = {&singleOut[i], &spare[i]};
        FmChipRender(Single, 1, one);
    }
    for (int i = 0; i < count; i++) {
        Check(blockOut[i] == singleOut[i]);
        Check(blockOut[i] >= -Bound && blockOut[i] <= Bound);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Block = FmChipCreate(44100);
    Single = FmChipCreate(44100);
    if (!Block || !Single) abort();
    int32_t largest = 0;
    for (int32_t v : AttenLinTable) largest = v > largest ? v : -v > largest ? -v : largest;
    Bound = 2 * 18 * largest;  // 18 operators, rhythm instruments at double amplitude
    return 0;
}

// Program: a byte b below 0xF0 is a write of register b with the next byte as its value (the
// chip's register map is 0x00..0xF5); b of 0xF0 or more renders 1 + (next byte) samples times
// (b - 0xEF), at most MaxStretch per render call.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FmChipReset(Block);
    FmChipReset(Single);
    int rendered = 0;
    for (size_t i = 0; i + 1 < size && rendered < MaxSamplesPerInput; i += 2) {
        uint8_t op = data[i], arg = data[i + 1];
        if (op < 0xF0) {
            FmChipWrite(op, Block, arg);
            FmChipWrite(op, Single, arg);
        } else {
            int count = (1 + arg) * (op - 0xEF);
            if (count > MaxSamplesPerInput - rendered) count = MaxSamplesPerInput - rendered;
            rendered += count;
            for (; count > 0; count -= MaxStretch) Render(count < MaxStretch ? count : MaxStretch);
        }
        CheckState(Block);
    }
    return 0;
}
