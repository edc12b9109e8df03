#pragma once

namespace vue {

// Creates `path` one component at a time: each prefix that ends before a
// '/' or '\' (never the empty one before a leading separator), then the
// whole path. Failures are ignored; an existing directory is the usual case.
void ensure_dir(const char *path);

}  // namespace vue
