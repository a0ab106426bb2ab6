// Sanitizer settings the hidraw tests need under umockdev's preload, built
// into the binary so that ctest's environment only has to set LD_PRELOAD.
// Unused (and harmless) in builds without the sanitizer.

// The preload comes before the AddressSanitizer runtime in the library order.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

// ThreadSanitizer cannot see the locks inside umockdev and GLib (they are not
// built with it): races it reports inside them are not ours.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libumockdev.so.0\n"
         "race:libumockdev-preload.so.0\n"
         "race:libglib-2.0.so.0\n"
         "race:libgobject-2.0.so.0\n"
         "race:libgio-2.0.so.0\n";
}
