// What of the registry is on the disk: the state each hive had at the last restart or at its
// last flush, kept in registry.flushed while it differs from registry.reg, and what a power cut
// brings the machine back to.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/sim/machine/machine.h"

namespace sim::internal {

namespace {

std::string flushed_path() {
  return raw_machine().dir + "/" + kFlushedFile;
}

bool exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

// The durable state, read once: registry.flushed when some hive has unflushed changes, else
// registry.reg as this process found it (it saves nothing without keeping registry.flushed
// true first).
Key* durable_tree(std::string* error) {
  Machine& m = raw_machine();
  if (m.durable == nullptr) {
    std::string path = exists(flushed_path()) ? flushed_path() : m.dir + "/registry.reg";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      return nullptr;
    }
    KeyPtr tree;
    bool read = parse_reg_fd(fd, path, &tree, error);
    ::close(fd);
    if (!read) return nullptr;
    m.durable = std::move(tree);
  }
  return m.durable.get();
}

}  // namespace

bool flush_hive(const Key& key, std::string* error) {
  Machine& m = raw_machine();
  std::string path = key.path();
  std::string hive = path.substr(0, path.find('\\'));
  if (hive.empty()) return true;
  // Nothing changed since the disk was last brought up to date: nothing to write.
  if (!m.registry_dirty && m.durable == nullptr && !exists(flushed_path())) return true;
  Key* durable = durable_tree(error);
  if (durable == nullptr) return false;
  durable->delete_subkey(hive);
  if (Key* live = m.hklm->find_subkey(hive)) {
    // A copy through the file's text: the live tree goes on changing.  Volatile keys never
    // reach the disk.
    KeyPtr copy;
    if (!parse_reg_file(write_reg_subtree(*live), "(flushed hive)", &copy, error)) return false;
    drop_volatile_keys(copy.get());
    if (Key* moved = copy->detach(live->name)) durable->adopt(moved);
  }
  m.durable_changed = true;
  return true;
}

void registry_all_durable() {
  Machine& m = raw_machine();
  m.durable.reset();
  m.durable_changed = false;
  m.all_durable = true;
}

bool save_durable_state(std::string* error) {
  Machine& m = raw_machine();
  std::string path = flushed_path();
  if (m.all_durable) {
    std::error_code failed;
    std::filesystem::remove(path, failed);
    if (failed) {
      *error = "cannot remove " + path + ": " + failed.message();
      return false;
    }
    m.all_durable = false;
    return true;
  }
  bool kept = exists(path);
  if (m.durable != nullptr && (m.durable_changed || (m.registry_dirty && !kept))) {
    if (!write_registry_file(path, *m.durable, error)) return false;
    m.durable_changed = false;
    return true;
  }
  if (m.registry_dirty && !kept) {
    // registry.reg is on the disk as it is, and is about to be replaced: it becomes the durable
    // state by a second name (the replacement is a new file).
    std::string registry = m.dir + "/registry.reg";
    std::error_code failed;
    if (::link(registry.c_str(), path.c_str()) != 0)
      std::filesystem::copy_file(registry, path, std::filesystem::copy_options::overwrite_existing, failed);
    if (failed) {
      *error = "cannot keep " + registry + " as " + path + ": " + failed.message();
      return false;
    }
  }
  return true;
}

bool restore_durable_registry(std::string* error) {
  Machine& m = machine();
  if (durable_tree(error) == nullptr) return false;
  m.hklm = std::move(m.durable);
  drop_volatile_keys(m.hklm.get());
  registry_changed();
  return true;
}

}  // namespace sim::internal
