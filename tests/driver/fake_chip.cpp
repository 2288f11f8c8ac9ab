// fake_chip.cpp - the recording chip of fake_chip.h. Timer 1 counts output samples: a running
// timer overflows at its first count after reset and then every FakeChipTimerSamples
// samples; register 0x04 clears flags, sets the mask and the start bits like the real chip.
#include "tests/driver/fake_chip.h"

#include <cstdlib>

std::vector<FakeWrite> FakeChipWrites;
uint32_t FakeChipRenders;
int32_t FakeChipOutput;
uint32_t FakeChipTimerSamples = 883;

void FakeChipClearLog() {
    FakeChipWrites.clear();
    FakeChipRenders = 0;
}

FmChip* FmChipCreate(uint32_t sampleRate) {
    FmChip* chip = static_cast<FmChip*>(std::calloc(1, sizeof(FmChip)));
    if (chip) chip->sampleRate = sampleRate;
    return chip;
}

void FmChipReset(FmChip* chip) {
    for (uint8_t reg = 1; reg <= 4; ++reg) FmChipWrite(reg, chip, 0);
    chip->statusReg = 0;
    chip->timerCount[0] = chip->timerCount[1] = 0;
}

void FmChipDestroy(FmChip* chip) {
    std::free(chip);
}

void FmChipWrite(uint8_t reg, FmChip* chip, uint8_t value) {
    FakeChipWrites.push_back({reg, value});
    if (reg != 0x04) return;
    if (value & 0x80) {
        chip->statusReg &= uint8_t(~0x77);
    } else {
        chip->statusReg &= uint8_t(~(value & 0x70));
        chip->irqEnableMask = uint8_t(~value & 0x78);
        chip->timerRunning[0] = value & 1;
        chip->timerRunning[1] = (value >> 1) & 1;
    }
    if (!(chip->statusReg & chip->irqEnableMask)) chip->statusReg &= uint8_t(~FmStatusIrq);
}

void FmChipRender(FmChip* chip, int count, int32_t* outputs[2]) {
    for (int i = 0; i < count; ++i) {
        outputs[0][i] = outputs[1][i] = FakeChipOutput;
        ++FakeChipRenders;
        if (!chip->timerRunning[0]) continue;
        if (chip->timerCount[0] == 0) {
            chip->statusReg |= FmStatusTimer1;
            if (chip->statusReg & chip->irqEnableMask) chip->statusReg |= FmStatusIrq;
            chip->timerCount[0] = FakeChipTimerSamples;
        }
        --chip->timerCount[0];
    }
}

// The bring-up installs it; the recording chip has no envelopes to settle.
void SettleAttacksHook(void*) {}

// The recording chip has no sources to tap or mute; it keeps the tap so a viewer can read it.
void FmChipSetTap(FmChip* chip, FmChipTap* tap) {
    chip->tap = tap;
}

void FmChipSetMute(FmChip*, uint32_t, uint32_t) {}

int FmChipRenderUntil(FmChip* chip, int count, int32_t* output, uint8_t stopMask) {
    int i = 0;
    while (i < count) {
        int32_t* outputs[2] = {output + i, output + i};
        FmChipRender(chip, 1, outputs);
        ++i;
        if (chip->statusReg & stopMask) break;
    }
    return i;
}
