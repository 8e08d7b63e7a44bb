// The interactive shell of sftpc: libedit reads each line (editing, history,
// tab completion of command names and of remote and local names), and the
// same line runner as batch mode runs it. Ctrl-C at the prompt drops the
// line; during a transfer the transfer runner turns it into a cancel.
#include <dirent.h>
#include <histedit.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "sftpc_tree.h"
#include "tarnwick_sftp.h"

namespace sftpc {
namespace {

volatile std::sig_atomic_t g_prompt_interrupted = 0;

void on_prompt_interrupt(int) { g_prompt_interrupted = 1; }

// Sets the SIGINT disposition: at the prompt a handler without SA_RESTART,
// so that the terminal read returns and the line is dropped; while a
// command runs the signal is ignored, but for the transfer runner's own.
void catch_interrupt(bool at_prompt) {
  struct sigaction sa {};
  sa.sa_handler = at_prompt ? on_prompt_interrupt : SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
}

const char *prompt(EditLine *) { return "sftpc> "; }

// The words of a line as far as the cursor, as split_line would read them;
// the last one is the word being completed ("" after a blank).
Words words_so_far(const std::string &text) {
  Words out(1);
  char quote = 0;
  for (size_t k = 0; k < text.size(); ++k) {
    char c = text[k];
    if (c == '\\' && quote != '\'' && k + 1 < text.size())
      out.back() += text[++k];
    else if (quote != 0 && c == quote)
      quote = 0;
    else if (quote == 0 && (c == '"' || c == '\''))
      quote = c;
    else if (quote == 0 && (c == ' ' || c == '\t')) {
      if (!out.back().empty()) out.emplace_back();
    } else
      out.back() += c;
  }
  return out;
}

// A candidate: the whole word it completes to, and whether it is a folder.
struct Candidate {
  std::string word;
  bool folder;
};

void add_if(std::vector<Candidate> &out, const std::string &prefix,
            const std::string &dir, const std::string &name, bool folder) {
  if (name.compare(0, prefix.size(), prefix) != 0 || name == "..") return;
  if (name[0] == '.' && (prefix.empty() || prefix[0] != '.')) return;
  out.push_back({dir + name, folder});
}

// The names in the folder of a partial path, on one side. The remote side
// asks the server once, quietly: completion must not print failures.
void name_candidates(bool remote, const std::string &partial,
                     std::vector<Candidate> &out) {
  size_t slash = partial.rfind('/');
  std::string dir =
      slash == std::string::npos ? "" : partial.substr(0, slash + 1);
  std::string prefix = partial.substr(dir.size());
  if (remote) {
    Json list;
    json_parse(sftp_client_list_dir(remote_path(dir).c_str()), list);
    for (const Json &e : list.items)
      add_if(out, prefix, dir, e["name"].text, e["is_dir"].flag);
    return;
  }
  DIR *d = opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return;
  while (dirent *de = readdir(d)) {
    struct stat st {};
    std::string path = (dir.empty() ? "" : dir) + de->d_name;
    bool folder = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    add_if(out, prefix, dir, de->d_name, folder);
  }
  closedir(d);
}

std::vector<Candidate> candidates(const Words &words) {
  std::vector<Candidate> out;
  const std::string &partial = words.back();
  if (words.size() == 1) {
    for (const CommandSpec &c : command_table())
      if (std::strncmp(c.name, partial.c_str(), partial.size()) == 0)
        out.push_back({c.name, false});
    return out;
  }
  const CommandSpec *c = find_command(words[0]);
  if (c == nullptr || (!partial.empty() && partial[0] == '-')) return out;
  size_t arg = 0;
  for (size_t k = 1; k + 1 < words.size(); ++k)
    if (words[k][0] != '-') ++arg;
  char kind = argument_kind(*c, arg);
  if (kind == 'c') return candidates(Words{partial});
  if (kind == 'r' || kind == 'l') name_candidates(kind == 'r', partial, out);
  return out;
}

// The text as a word that split_line reads back unchanged.
std::string escaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (std::strchr(" \t\"'\\", c) != nullptr) out += '\\';
    out += c;
  }
  return out;
}

// Lists the candidates' names in columns below the line.
void print_columns(const std::vector<Candidate> &found) {
  Words shown;
  size_t width = 1;
  for (const Candidate &c : found) {
    shown.push_back(printable(base_name(c.word)) + (c.folder ? "/" : ""));
    width = std::max(width, shown.back().size() + 3);
  }
  std::sort(shown.begin(), shown.end());
  struct winsize ws {};
  size_t cols = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0
                    ? ws.ws_col
                    : 80;
  size_t per_line = std::max<size_t>(1, cols / width), k = 0;
  std::fputc('\n', stdout);
  for (const std::string &name : shown) {
    if (++k % per_line == 0 || k == shown.size())
      std::printf("%s\n", name.c_str());
    else
      std::printf("%-*s", static_cast<int>(width), name.c_str());
  }
}

// Bound to Tab: completes the word under the cursor as far as all the
// candidates agree, or lists them when they agree no further.
unsigned char complete(EditLine *el, int) {
  const LineInfo *li = el_line(el);
  Words words = words_so_far(std::string(li->buffer, li->cursor));
  std::vector<Candidate> found = candidates(words);
  if (found.empty()) return CC_ERROR;
  std::string common = found[0].word;
  for (const Candidate &c : found) {
    size_t n = 0;
    while (n < common.size() && n < c.word.size() && common[n] == c.word[n])
      ++n;
    common.resize(n);
  }
  std::string add = escaped(common.substr(words.back().size()));
  if (found.size() == 1)
    add += found[0].folder ? "/" : " ";
  else if (add.empty())
    return print_columns(found), CC_REDISPLAY;
  return el_insertstr(el, add.c_str()) == 0 ? CC_REFRESH : CC_ERROR;
}

// The line editor with its history, closed at the end of the scope.
class Editor {
 public:
  Editor()
      : el_(el_init("sftpc", stdin, stdout, stderr)), hist_(history_init()) {
    HistEvent ev;
    history(hist_, &ev, H_SETSIZE, 1000);
    el_set(el_, EL_HIST, history, hist_);
    el_set(el_, EL_PROMPT, prompt);
    el_set(el_, EL_EDITOR, "emacs");
    // The wide form keeps the two names as given; the narrow one copies
    // them and never frees the copies.
    el_wset(el_, EL_ADDFN, L"sftpc-complete", L"complete a command or a name",
            complete);
    el_set(el_, EL_BIND, "^I", "sftpc-complete", nullptr);
    el_source(el_, nullptr);
  }
  ~Editor() {
    el_end(el_);
    history_end(hist_);
  }
  Editor(const Editor &) = delete;
  Editor &operator=(const Editor &) = delete;

  // The next line without its end; false at the end of the input. A line
  // dropped by Ctrl-C comes back empty.
  bool read(std::string &line) {
    g_prompt_interrupted = 0;
    // libedit's own signal handling is off (it would re-raise SIGINT to
    // the whole process group), so a changed window size is read here.
    el_resize(el_);
    catch_interrupt(true);
    int count = 0;
    const char *text = el_gets(el_, &count);
    catch_interrupt(false);
    line.clear();
    if (text == nullptr || count <= 0) {
      std::fputc('\n', stdout);
      return g_prompt_interrupted != 0;
    }
    line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.pop_back();
    HistEvent ev;
    if (line.find_first_not_of(" \t") != std::string::npos)
      history(hist_, &ev, H_ENTER, line.c_str());
    return true;
  }

 private:
  EditLine *el_;
  History *hist_;
};

}  // namespace

int run_shell(Session &session,
              const std::function<int(const std::string &)> &run_line) {
  if (!session.ensure()) return kFailed;
  struct sigaction old {};
  sigaction(SIGINT, nullptr, &old);
  {
    Editor editor;
    std::string line;
    // Lines that do not come from a terminal are echoed, as in batch mode,
    // so that a record of the run shows what each output answers.
    bool echo = isatty(STDIN_FILENO) == 0;
    while (!quit_requested() && editor.read(line)) {
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      if (echo) std::printf("sftpc> %s\n", printable(line).c_str());
      run_line(line);
      std::fflush(stdout);
    }
  }
  sigaction(SIGINT, &old, nullptr);
  return kOk;
}

}  // namespace sftpc
