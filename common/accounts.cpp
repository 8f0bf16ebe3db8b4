#include "common/accounts.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "common/file_io.h"

namespace common {

namespace {

// Account databases of large hosts run to a few MiB; beyond this they are not read.
constexpr std::size_t kDatabaseLimit = 16 << 20;

// The `:`-separated fields of one line.
std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t end = line.find(':', start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string_view::npos) return fields;
    start = end + 1;
  }
}

// A decimal id: digits only, below 2^32 - 1 (the kernel's "no id").
std::optional<std::uint32_t> id_of(std::string_view text) {
  std::uint32_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      id == static_cast<std::uint32_t>(-1)) {
    return std::nullopt;
  }
  return id;
}

template <typename Visit>
void for_each_line(std::string_view text, const Visit& visit) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    visit(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
}

// A host file as text; empty where it is missing, not a regular file, or too large.
std::string read_database(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  auto text = read_all(fd.get(), kDatabaseLimit);
  return text ? std::move(*text) : std::string();
}

}  // namespace

Accounts::Accounts(std::string_view passwd, std::string_view group) {
  for_each_line(passwd, [this](std::string_view line) {
    const auto fields = fields_of(line);
    if (fields.size() != 7 || fields[0].empty()) return;
    const auto uid = id_of(fields[2]);
    const auto gid = id_of(fields[3]);
    if (uid && gid) users_.push_back({std::string(fields[0]), *uid, *gid});
  });
  for_each_line(group, [this](std::string_view line) {
    const auto fields = fields_of(line);
    if (fields.size() != 4 || fields[0].empty()) return;
    const auto gid = id_of(fields[2]);
    if (!gid) return;
    Group entry{*gid, {}};
    for (std::size_t start = 0; start < fields[3].size();) {
      const std::size_t end = std::min(fields[3].find(',', start), fields[3].size());
      if (end > start) entry.members.emplace_back(fields[3].substr(start, end - start));
      start = end + 1;
    }
    groups_.push_back(std::move(entry));
  });
}

const Accounts& Accounts::host() {
  static const Accounts accounts(read_database("/etc/passwd"), read_database("/etc/group"));
  return accounts;
}

const Accounts::User* Accounts::user_by_uid(uid_t uid) const {
  const auto found = std::find_if(users_.begin(), users_.end(),
                                  [uid](const User& user) { return user.uid == uid; });
  return found == users_.end() ? nullptr : &*found;
}

const Accounts::User* Accounts::user_by_name(std::string_view name) const {
  const auto found = std::find_if(users_.begin(), users_.end(),
                                  [name](const User& user) { return user.name == name; });
  return found == users_.end() ? nullptr : &*found;
}

Credentials Accounts::credentials_of(uid_t uid) const {
  for (const auto& [known, credentials] : credentials_) {
    if (known == uid) return credentials;
  }
  return credentials_.emplace_back(uid, find_credentials(uid)).second;
}

std::optional<std::vector<uid_t>> Accounts::members_of(gid_t gid) const {
  for (const auto& [known, members] : members_) {
    if (known == gid) return members;
  }
  return members_.emplace_back(gid, find_members(gid)).second;
}

Credentials Accounts::find_credentials(uid_t uid) const {
  const User* user = user_by_uid(uid);
  if (user == nullptr) return {uid, kNoGroup, {}};
  Credentials credentials{uid, user->gid, {user->gid}};
  for (const Group& group : groups_) {
    if (std::find(group.members.begin(), group.members.end(), user->name) != group.members.end()) {
      credentials.groups.push_back(group.gid);
    }
  }
  std::sort(credentials.groups.begin(), credentials.groups.end());
  credentials.groups.erase(std::unique(credentials.groups.begin(), credentials.groups.end()),
                           credentials.groups.end());
  return credentials;
}

std::optional<std::vector<uid_t>> Accounts::find_members(gid_t gid) const {
  bool known = false;
  std::vector<uid_t> members;
  for (const User& user : users_) {
    if (user.gid != gid || user_by_uid(user.uid) != &user) continue;
    known = true;
    members.push_back(user.uid);
  }
  for (const Group& group : groups_) {
    if (group.gid != gid) continue;
    known = true;
    for (const std::string& name : group.members) {
      if (const User* user = user_by_name(name)) members.push_back(user->uid);
    }
  }
  if (!known) return std::nullopt;
  std::sort(members.begin(), members.end());
  members.erase(std::unique(members.begin(), members.end()), members.end());
  return members;
}

}  // namespace common
