// Rumble feedback: one AwaitRumble in flight per connected pad, its completions turned into
// `rumble` lines when the motor pair changes.
#pragma once

namespace padbridge {

struct Bridge;

// Issues the AwaitRumble request of the player's pad.
void StartRumbleWait(Bridge& bridge, int player);

// Collects up to 16 completions, prints changes and failures, keeps a request in flight.
void PollRumble(Bridge& bridge, int player);

}  // namespace padbridge
