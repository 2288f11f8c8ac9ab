// render_session.h - one offline render: the driver brought up on the chip at the render's
// rate, the script's lines run just before their samples through the console's command code,
// the end rules, loops and fade, and the samples handed to the outputs that were asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/oplrender/options.h"
#include "tools/oplrender/output.h"
#include "tools/oplrender/picture.h"
#include "tools/oplrender/render_script.h"
#include "tools/oplrender/session_log.h"
#include "tools/oplrender/stems.h"

constexpr uint32_t RenderCapSeconds = 600;  // without an end, the render stops here

// Output samples for a stretch of VGM time as the driver plays it: 880 VGM samples per
// Timer 1 tick, one tick per 996 chip samples at 3579545 / 72 Hz. Rounded to nearest.
uint64_t RenderSampleOfVgmTime(uint64_t vgmSamples, uint32_t rate);

struct SessionResult {
    int status = 0;       // 0, ExitFailed or ExitRefused
    bool capped = false;  // stopped at RenderCapSeconds with the session still going
    uint64_t samples = 0;
};

// Runs the lines (the --vgm lines included) into out, and into log and stems when they are
// not null (stems opened, not yet attached); with log, a picture warmed up for it is drawn
// as the render goes. Prints the console's messages to standard output and, on a terminal,
// a progress bar above which they stay. The outputs are left open for the caller to finish.
SessionResult RenderSession(const RenderOptions& o, const std::vector<RenderLine>& lines,
                            RenderOutput* out, SessionLog* log, RenderStems* stems = nullptr,
                            PictureJob* picture = nullptr);
