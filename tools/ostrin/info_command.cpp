// ostrin info: the size of the drive's image, its numbers of directories and files and their sizes,
// and when the service built the image.
#include <OstrinAPI.h>

#include "platform/local_time.h"
#include "tools/ostrin/command.h"
#include "tools/ostrin/drive_state.h"

int InfoCommand(const SCommand& command) {
  SDriveFacts facts;
  const std::optional<SDriveState> state = QueryDriveState(command.drive.letter);
  if (state && state->totalsKnown) {
    // The service sums the image in one pass: every entry once, however deep the tree, also those
    // that no path can reach.
    facts.totals = STotals{state->files, state->directories, state->size, state->allocated};
  } else {
    // A walk by paths, which cannot enter what no path reaches.
    SOptions imageOrder = command.options;
    imageOrder.sort = ESortKey::None;  // the counts need no order
    const bool walked = WalkDirectories(imageOrder, command.drive, WString(1, SEPARATOR), ALL_ENTRIES,
                                        [&](const WString&, const std::vector<SListedEntry>& entries) {
      for (const SListedEntry& entry : entries) facts.totals.Add(entry);
    }, command.notEntered);
    if (!walked) return ReportDriveError(command);
  }
  facts.drive = DriveName(command.drive.letter);
  facts.imageBytes = OstGetMemoryUsage(command.drive.index);
  if (state) {
    facts.generation = state->generation;
    // The build time in the zone the entries' times are in.
    uint64_t builtLocal = 0;
    if (!ostrin::platform::FileTimeToLocalFileTime(state->builtAt, &builtLocal)) builtLocal = state->builtAt;
    facts.builtLocal = builtLocal;
  }
  command.output.Info(facts);
  return EXIT_OK;
}
