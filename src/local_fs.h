// The local file system: a local folder, or the drives, as a JSON array of
// entry records, in the record format of the remote listing.
#pragma once

namespace tw {

// Lists folder into g_json2 (NULL or "": the drives). A folder that cannot
// be enumerated gives "[]" with the last-error text set.
const char *local_list(const char *folder);

}  // namespace tw
