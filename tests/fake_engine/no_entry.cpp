// A library that is loadable but exports no engine entry.
extern "C" __attribute__((visibility("default"))) int fake_not_an_engine(void) { return 1; }
