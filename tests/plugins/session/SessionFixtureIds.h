// What the session fixtures and the tests that drive them agree on: class ids,
// parameter ids and the layout of the saved settings.
#pragma once

namespace sessionfx {

// Class ids as the scan lists them (32 upper-case hex digits).
inline constexpr const char* kEffectCid = "5456335345535346584546464543540A";
inline constexpr const char* kInstrumentCid = "545633534553534658494E5354520A0B";
inline constexpr const char* kControllerCid = "5456335345535346584354524C0A0B0C";

// Gain: the effect's output is its input times 2 × value (1.0 at the default 0.5).
inline constexpr unsigned kGainId = 1;
// Report edits: while at 1, every block reports one edit of Gain through the
// component handler, as a plug-in's own automation would.
inline constexpr unsigned kReportId = 2;
inline constexpr double kGainDefault = 0.5;
// session_lookahead only: Look-ahead adds value × kLookAheadMost samples to
// the latency, once the processor has been activated again.
inline constexpr unsigned kLookAheadId = 3;
inline constexpr int kLookAheadMost = 256;

// Latency at 48000 Hz; it scales with the sample rate (64 at 96000 Hz).
inline constexpr int kLatency = 32;

// Component state: "SFXC", then the Gain and Report values as doubles (host
// byte order); session_state_grows appends one more byte on every save.
// Controller state: "SFXK", then the Gain value the controller shows.
inline constexpr int kComponentStateBytes = 20;
inline constexpr int kControllerStateBytes = 12;

// The instrument: while a note sounds, every output sample is
// velocity × pitch / 128 (pitch 64 at velocity 1 gives 0.5 exactly).

} // namespace sessionfx
