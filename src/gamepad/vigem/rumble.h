// Rumble feedback: one AwaitRumble in flight per connected pad, its completions turned into
// `rumble` lines when the motor pair changes.
#pragma once

namespace padbridge {

struct BusPads;
struct OutputQueue;

// Issues the AwaitRumble request (a DualShock 4's feedback request) of the player's pad.
void StartRumbleWait(BusPads& bus, int player);

// Collects up to 16 completions, writes changes and failures to `out`, keeps a request in flight.
void PollRumble(BusPads& bus, OutputQueue& out, int player);

}  // namespace padbridge
