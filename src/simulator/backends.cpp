// The simulated PC's drivers, as padbridge-sim's --sim-backend chooses them.
#include "os/sim/sim.h"
#include "simulator/simulator.h"

namespace padbridge::simulator {

void InstallBackend(Backend backend) {
    sim::Machine& m = sim::Current();
    if (backend == Backend::kVigem) {
        // One interface, whose CheckVersion succeeds: a compatible driver. Every request is
        // answered at once but the feedback requests, which wait for the game (sim- lines).
        m.bus.interfaces = {sim::DeviceInterface{}};
    } else if (backend == Backend::kVjoy) {
        // The library where the bridge looks without --vjoy-dll; every device's defaults are
        // what the bridge needs (all eight axes, ten buttons, a continuous POV, 0..32767).
        sim::SetEnvironment(u"ProgramFiles", u"C:\\Program Files");
        m.vjoy.installedPath = u"C:\\Program Files\\vJoy\\x64\\vJoyInterface.dll";
    }
}

}  // namespace padbridge::simulator
