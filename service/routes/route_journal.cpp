#include "routes/route_journal.h"

#include <sstream>

#include "common/ipv4_text.h"
#include "common/folder_files.h"
#include "routes/admin_bypass_routes.h"
#include "common/startup_record.h"

namespace quorvane {
namespace {

constexpr char kHeader[] = "# quorvane bypass route journal 1";

// What makes a route the same route. Its metric1 is not: Windows shows the
// route's metric plus its interface's, and the automatic interface metric
// follows the link's speed, so the same route reads differently after a Wi-Fi
// speed change or an adapter swap.
bool SameRow(const platform::ForwardRow& a, const platform::ForwardRow& b) {
  return a.destination == b.destination && a.mask == b.mask && a.next_hop == b.next_hop && a.if_index == b.if_index;
}

bool ParseLine(const std::string& line, platform::ForwardRow* row) {
  std::istringstream fields(line);
  std::string destination, mask, next_hop;
  long long if_index = -1, metric = -1;
  std::string rest;
  if (!(fields >> destination >> mask >> next_hop >> if_index >> metric) || (fields >> rest)) return false;
  if (if_index < 0 || if_index > 0xFFFFFFFFLL || metric < 0 || metric > 0xFFFFFFFFLL) return false;
  if (!platform::ParseIpv4Address(destination, &row->destination) || !platform::ParseIpv4Address(mask, &row->mask) ||
      !platform::ParseIpv4Address(next_hop, &row->next_hop)) {
    return false;
  }
  row->if_index = static_cast<uint32_t>(if_index);
  row->metric1 = static_cast<uint32_t>(metric);
  return true;
}

// The rows as the journal holds them; an empty list removes the file.
bool WriteJournal(const std::vector<platform::ForwardRow>& rows, std::string* error) {
  ServiceFolder folder;
  const OpenResult opened = OpenServiceFolder(L"state", !rows.empty(), &folder, error);
  if (rows.empty()) {
    if (opened == OpenResult::kMissing) return true;
    if (opened == OpenResult::kOpened && DeleteFolderFile(folder, kRouteJournalName, false, error)) return true;
    *error = "route journal could not be removed: " + *error;
    return false;
  }
  if (opened != OpenResult::kOpened) return false;
  std::string text = std::string(kHeader) + "\n";
  for (const platform::ForwardRow& row : rows) {
    text += Ipv4Text(row.destination) + " " + Ipv4Text(row.mask) + " " + Ipv4Text(row.next_hop) + " " +
            std::to_string(row.if_index) + " " + std::to_string(row.metric1) + "\n";
  }
  ReplaceStep failed = ReplaceStep::kNone;
  if (ReplaceFolderFile(folder, kRouteJournalName, text, false, &failed, error)) return true;
  *error = "route journal could not be written: " + *error;
  return false;
}

}  // namespace

std::string JournalRouteText(const platform::ForwardRow& row) {
  int prefix = 0;
  for (uint32_t mask = row.mask; mask != 0; mask &= mask - 1) ++prefix;
  return Ipv4Text(row.destination) + "/" + std::to_string(prefix) + "->" + Ipv4Text(row.next_hop) + "@if" +
         std::to_string(row.if_index) + ":metric=" + std::to_string(row.metric1);
}

RouteJournal ReadRouteJournal() {
  RouteJournal journal;
  std::string text, message;
  if (!ReadServiceFile(L"state", kRouteJournalName, &text, &journal.present, &message)) {
    // One that fails its check counts as there and unreadable: kept, never used.
    journal.present = true;
    journal.readable = false;
    journal.error = "route journal unreadable: " + message;
    return journal;
  }
  if (!journal.present) return journal;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    platform::ForwardRow row;
    if (!ParseLine(line, &row)) {
      journal.readable = false;
      journal.error = "route journal damaged at line " + std::to_string(number);
      journal.rows.clear();
      return journal;
    }
    journal.rows.push_back(row);
  }
  return journal;
}

bool JournalRoute(const platform::ForwardRow& row, std::string* error) {
  RouteJournal journal = ReadRouteJournal();
  if (!journal.readable) {
    *error = journal.error;
    return false;
  }
  for (const platform::ForwardRow& recorded : journal.rows) {
    if (SameRow(recorded, row)) return true;
  }
  journal.rows.push_back(row);
  return WriteJournal(journal.rows, error);
}

void UnjournalRoute(const platform::ForwardRow& row) {
  RouteJournal journal = ReadRouteJournal();
  if (!journal.readable) return;  // left in place, as it is
  std::vector<platform::ForwardRow> kept;
  for (const platform::ForwardRow& recorded : journal.rows) {
    if (!SameRow(recorded, row)) kept.push_back(recorded);
  }
  if (kept.size() == journal.rows.size()) return;
  std::string error;
  WriteJournal(kept, &error);
}

std::string CleanUpEarlierRoutes() {
  const RouteJournal journal = ReadRouteJournal();
  if (!journal.present) return "";
  if (!journal.readable) return journal.error + "; left in place";
  const std::vector<platform::ForwardRow> ours = AddedBypassRoutes();
  std::vector<platform::ForwardRow> table;
  uint32_t error_code = 0;
  const bool table_read = platform::ReadIpForwardTable(&table, &error_code);
  std::vector<platform::ForwardRow> kept;
  int removed = 0, changed = 0;
  for (const platform::ForwardRow& recorded : journal.rows) {
    bool mine = false;
    for (const platform::ForwardRow& row : ours) mine = mine || SameRow(row, recorded);
    if (mine) {
      kept.push_back(recorded);
      continue;
    }
    const platform::ForwardRow* standing = nullptr;
    for (const platform::ForwardRow& row : table) {
      if (SameRow(row, recorded)) standing = &row;
    }
    if (!table_read) {
      kept.push_back(recorded);  // cannot tell: kept for the next look
    } else if (standing != nullptr) {
      CheckNetworkMutation(kMutationDeleteRoute);
      platform::DeleteForwardEntry(*standing);  // as it stands now, its metric included
      NoteStartupRouteMutation();
      ++removed;
    } else {
      ++changed;  // gone, or changed by someone else since: left alone
    }
  }
  std::string error;
  WriteJournal(kept, &error);
  if (removed == 0 && changed == 0) return "";
  return "removed " + std::to_string(removed) + " bypass route(s) an earlier process left; " +
         std::to_string(changed) + " no longer as recorded, left alone" + (error.empty() ? "" : "; " + error);
}

}  // namespace quorvane
