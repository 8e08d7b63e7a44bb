#include "local_fs.h"

#include <cstring>

#include "frame.h"
#include "platform/platform.h"

namespace tw {

namespace {

// Local records carry fixed mode texts and no owner: the platform's own
// permissions are not translated.
constexpr const char *kDirMode = "drwxr-xr-x";
constexpr const char *kFileMode = "-rw-r--r--";

EntryRecord local_record(const char *name, bool is_dir, int64_t size,
                         int64_t mtime) {
  EntryRecord e;
  e.name = name;
  e.is_dir = is_dir;
  e.size = size;
  e.mtime = mtime;
  e.mode = is_dir ? kDirMode : kFileMode;
  e.uid = 0;
  e.gid = 0;
  return e;
}

void list_drives(JsonArray *a) {
  char roots[26][8];
  int n = platform::drive_roots(roots);
  for (int i = 0; i < n; ++i)
    json_entry_add(a, local_record(roots[i], true, 0, 0));
}

// Appends every entry of the folder but "."; false when the folder cannot be
// enumerated.
bool list_folder(JsonArray *a, const char *folder) {
  platform::DirIter it;
  if (!platform::dir_open(&it, folder)) return false;
  platform::DirEntry e;
  while (platform::dir_next(&it, &e)) {
    if (strcmp(e.name, ".") == 0) continue;
    json_entry_add(a, local_record(e.name, e.is_dir,
                                   static_cast<int64_t>(e.size), e.mtime));
  }
  platform::dir_close(&it);
  return true;
}

}  // namespace

const char *local_list(const char *folder) {
  JsonArray a;
  json_array_begin(&a, g_json2);
  if (folder == nullptr || *folder == '\0') {
    list_drives(&a);
  } else if (!list_folder(&a, folder)) {
    set_error("cannot list local folder '%s'", folder);
    memcpy(g_json2, "[]", 3);
    return g_json2;
  }
  json_array_end(&a);
  return g_json2;
}

}  // namespace tw
