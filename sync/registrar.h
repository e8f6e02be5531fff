// The second start-up wave (pause rules, enemy sync, summon). Its Registrar
// registers an OnReady handler that posts the wave, so it runs one pump pass
// after the first wave.
#pragma once

namespace bh::sync {

struct Registrar {
  Registrar();
};

// The second wave itself (game thread).
void StartWaveFour();

}  // namespace bh::sync
