// What the commands, the trees and the interactive shell of sftpc share: the
// table of commands (it drives parsing, help and completion), the current
// remote folder, patterns in the last path element, and whole-tree copies.
#pragma once

#include <string>
#include <vector>

#include "sftpc.h"
#include "sftpc_json.h"

namespace sftpc {

// One command of the table. kinds tells, per argument, what it names:
// 'r' a remote path, 'l' a local path, 'c' a command, '-' anything else;
// the last letter stands for every later argument.
struct CommandSpec {
  const char *name;
  const char *flags;  // the one-letter flags it takes, such as "rp"
  size_t min_args, max_args;
  bool needs_session;
  const char *kinds;
  const char *usage;  // the arguments, as help shows them
  const char *summary;
  int (*run)(const Words &args, const std::string &flags, const Options &opt);
};

// The table, and the entry named name (nullptr when there is none).
const std::vector<CommandSpec> &command_table();
const CommandSpec *find_command(const std::string &name);

// What an argument at index arg (0: the first after the name) names.
char argument_kind(const CommandSpec &c, size_t arg);

// True once exit, quit or bye has run.
bool quit_requested();

// Remote paths: a relative path is taken against the current remote folder
// (the home folder until cd changes it).
std::string remote_path(const std::string &path);
void set_remote_folder(const std::string &absolute);
const std::string &remote_folder();

std::string join(const std::string &dir, const std::string &name);
std::string base_name(const std::string &path);
std::string dir_name(const std::string &path);  // "" for a bare name

// True when the last element of path holds *, ? or [.
bool has_pattern(const std::string &path);

// The entries of one listing, remote (list_dir) or local (list_local),
// copied out of the library's shared buffer; ".." left out. False (and the
// library's reason printed) when the folder cannot be listed.
bool list_entries(bool remote, const std::string &dir, std::vector<Json> &out);

// The paths that a pattern in the last element names, matched against one
// listing of its folder, sorted; a path without a pattern stands for itself.
// Prints why and returns false when nothing matches.
bool expand(bool remote, const std::string &path, Words &out);

// What -p keeps: the permission bits (and, downloading, the modification
// time) of one copied file or folder. Status kOk or kFailed.
int keep_local_attrs(const std::string &local, const Json &remote_entry);
int keep_remote_attrs(const std::string &remote, const std::string &local);

// One file's copy with its progress line and summary line; status kOk,
// kFailed or kInterrupted. Adds the bytes copied to *bytes when given.
int copy_file(bool download, const std::string &from, const std::string &to,
              const Options &opt, long long *bytes = nullptr);

// The permission bits that a mode text such as "-rwxr-x---" shows.
int mode_bits(const std::string &mode_text);

// Whole-tree copies: folders created, files copied, links reported and
// skipped, then one summary line. Status kOk, kFailed or kInterrupted.
int get_tree(const std::string &remote, const std::string &local, bool keep,
             const Options &opt);
int put_tree(const std::string &local, const std::string &remote, bool keep,
             const Options &opt);

}  // namespace sftpc
