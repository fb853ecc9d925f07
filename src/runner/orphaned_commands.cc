#include "runner/orphaned_commands.h"

#include <algorithm>
#include <utility>

std::vector<OrphanedCommands::Entry>& OrphanedCommands::Entries() {
  // Never destroyed: a context may still be held at process exit, after static destructors would have run.
  static auto* entries = new std::vector<Entry>();
  return *entries;
}

void OrphanedCommands::Adopt(std::shared_ptr<void> keep, std::function<bool()> completed) {
  Entries().push_back(Entry{std::move(keep), std::move(completed)});
}

void OrphanedCommands::Sweep() {
  auto& entries = Entries();
  entries.erase(std::remove_if(entries.begin(), entries.end(), [](const Entry& e) { return e.completed(); }),
                entries.end());
}

size_t OrphanedCommands::Count() { return Entries().size(); }
