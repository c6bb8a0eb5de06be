// An empty preload library: lets the tracer's own mechanics (spawning, exit
// status, signals, draining) be tested without depending on what the real
// library reports.
extern "C" int velmora_trace_test_stub() { return 0; }
