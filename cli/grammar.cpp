#include "cli/grammar.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "core/storage/path_text.hpp"

namespace vorpel {
namespace {

constexpr std::string_view kProgram = "vorpel";
constexpr std::string_view kAbout = "Switch complete Halyx configuration profiles";
constexpr std::string_view kLongAbout =
    "Install Profile packages with pacman, back up overwritten files, and switch complete configuration trees.";
constexpr std::string_view kHelpCommand = "help";
constexpr std::string_view kHelpCommandAbout = "Print this message or the help of the given subcommand(s)";
constexpr std::string_view kShortHelpFlagText = "Print help (see more with '--help')";
constexpr std::string_view kLongHelpFlagText = "Print help (see a summary with '-h')";
constexpr std::string_view kMoreInformation = "For more information, try '--help'.";

// How an argument's value is read once the parser has matched it.
enum class ValueKind {
  Flag,         // no value: present or not
  Text,         // must be UTF-8; may be empty
  Path,         // bytes unchanged; must not be empty
  PackageMode,  // a PackageMode by its command-line name
  CommandName,  // the operand of `help`
};

struct ArgumentSpec {
  std::string_view id;         // the field of the CliCommand variant it fills
  std::string_view long_name;  // "--json"; empty for a positional
  std::string_view value_name;
  ValueKind kind;
  bool required;
  std::string_view help;

  bool positional() const { return long_name.empty(); }
  // The name CLI11 knows the argument by.
  std::string cli_name() const { return std::string(positional() ? id : long_name); }
};

struct SubcommandSpec {
  std::string_view name;
  std::string_view about;
  std::span<const ArgumentSpec> arguments;
};

constexpr ArgumentSpec kProfileRoot{"profile_root", "", "PROFILE_ROOT", ValueKind::Path, true, ""};
constexpr ArgumentSpec kProfile{"profile", "", "PROFILE", ValueKind::Text, true, ""};
constexpr ArgumentSpec kOptionalProfile{"profile", "", "PROFILE", ValueKind::Text, false, ""};
constexpr ArgumentSpec kJson{"json", "--json", "", ValueKind::Flag, false, ""};
constexpr ArgumentSpec kPackages{"package_mode", "--packages", "PACKAGE_MODE", ValueKind::PackageMode, false,
                                 "How Profile packages are handled before activation"};
constexpr ArgumentSpec kHelpOperand{"command", "", "COMMAND", ValueKind::CommandName, false, ""};

constexpr ArgumentSpec kValidateArgs[] = {kProfileRoot};
constexpr ArgumentSpec kJsonOnly[] = {kJson};
constexpr ArgumentSpec kProfileAndJson[] = {kProfile, kJson};
constexpr ArgumentSpec kSelectArgs[] = {kProfile, kPackages};
constexpr ArgumentSpec kUpdateArgs[] = {kOptionalProfile};
constexpr ArgumentSpec kProfileOnly[] = {kProfile};
constexpr ArgumentSpec kHelpArgs[] = {kHelpOperand};

// The subcommands in the order the help lists them; `help` comes last.
constexpr SubcommandSpec kSubcommands[] = {
    {"validate", "Validate Profile declarations under an explicit metadata root", kValidateArgs},
    {"list", "List installed and retained Profiles", kJsonOnly},
    {"show", "Show one installed or retained Profile", kProfileAndJson},
    {"current", "Show the active and retained Profiles", kJsonOnly},
    {"select", "Select and activate a complete Profile", kSelectArgs},
    {"plan", "Preview Profile package and configuration changes without modifying the system", kProfileAndJson},
    {"update", "Refresh a retained Profile from /usr/share", kUpdateArgs},
    {"remove", "Forget an inactive retained Profile. Packages remain until prune", kProfileOnly},
    {"prune", "Remove unreferenced direct packages introduced by Vorpel", {}},
    {kHelpCommand, kHelpCommandAbout, kHelpArgs},
};

const SubcommandSpec* subcommand_spec(std::string_view name) {
  for (const auto& spec : kSubcommands) {
    if (spec.name == name) return &spec;
  }
  return nullptr;
}

const ArgumentSpec* argument_spec(const CLI::App& sub, const CLI::Option& option) {
  const SubcommandSpec* spec = subcommand_spec(sub.get_name());
  if (spec == nullptr) return nullptr;
  for (const auto& arg : spec->arguments) {
    if (option.check_name(arg.cli_name())) return &arg;
  }
  return nullptr;
}

std::vector<PossibleValue> package_mode_values() {
  std::vector<PossibleValue> values;
  for (PackageMode mode : kPackageModes) values.push_back(package_mode_possible_value(mode));
  return values;
}

std::vector<PossibleValue> possible_values(const ArgumentSpec& arg) {
  return arg.kind == ValueKind::PackageMode ? package_mode_values() : std::vector<PossibleValue>{};
}

std::vector<std::string> value_names(const std::vector<PossibleValue>& values) {
  std::vector<std::string> names;
  for (const auto& value : values) names.emplace_back(value.name);
  return names;
}

std::string possible_values_list(const std::vector<PossibleValue>& values) {
  return fmt::format("{}", fmt::join(value_names(values), ", "));
}

// Jaro similarity of two byte strings, 0 (nothing alike) to 1 (equal).
double similarity(std::string_view a, std::string_view b) {
  if (a.empty() && b.empty()) return 1.0;
  if (a.empty() || b.empty()) return 0.0;
  const std::size_t reach = std::max(a.size(), b.size()) / 2;
  const std::size_t window = reach == 0 ? 0 : reach - 1;
  std::vector<bool> a_matched(a.size()), b_matched(b.size());
  std::size_t matches = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::size_t low = i > window ? i - window : 0;
    const std::size_t high = std::min(i + window + 1, b.size());
    for (std::size_t j = low; j < high; ++j) {
      if (b_matched[j] || a[i] != b[j]) continue;
      a_matched[i] = b_matched[j] = true;
      ++matches;
      break;
    }
  }
  if (matches == 0) return 0.0;
  std::size_t half_transpositions = 0;
  for (std::size_t i = 0, k = 0; i < a.size(); ++i) {
    if (!a_matched[i]) continue;
    while (!b_matched[k]) ++k;
    if (a[i] != b[k]) ++half_transpositions;
    ++k;
  }
  const double m = static_cast<double>(matches);
  const double t = static_cast<double>(half_transpositions / 2);
  return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) + (m - t) / m) / 3.0;
}

// The candidate most like `typed`, when one is alike enough to suggest.
std::optional<std::string> closest(std::string_view typed, const std::vector<std::string>& candidates) {
  std::optional<std::string> best;
  double best_score = 0.7;
  for (const auto& candidate : candidates) {
    const double score = similarity(typed, candidate);
    if (score > best_score) {
      best_score = score;
      best = candidate;
    }
  }
  return best;
}

std::vector<const CLI::App*> subcommands_of(const CLI::App& app) { return app.get_subcommands({}); }

std::vector<std::string> subcommand_names(const CLI::App& root) {
  std::vector<std::string> names;
  for (const auto* sub : subcommands_of(root)) names.push_back(sub->get_name());
  return names;
}

const CLI::App* find_subcommand(const CLI::App& root, std::string_view name) {
  for (const auto* sub : subcommands_of(root)) {
    if (sub->get_name() == name) return sub;
  }
  return nullptr;
}

bool is_help_flag(const CLI::App& app, const CLI::Option& option) {
  return &option == app.get_help_ptr() || &option == app.get_help_all_ptr();
}

std::vector<const CLI::Option*> positionals_of(const CLI::App& app) {
  return app.get_options([](const CLI::Option* o) { return o->get_positional(); });
}

std::vector<const CLI::Option*> named_options_of(const CLI::App& app) {
  return app.get_options([&app](const CLI::Option* o) { return !o->get_positional() && !is_help_flag(app, *o); });
}

std::string positional_text(const CLI::Option& option) {
  const std::string name = option.get_type_name();
  return option.get_required() ? "<" + name + ">" : "[" + name + "]";
}

// "--packages <PACKAGE_MODE>" or "--json": how reports name an option.
std::string option_text(const CLI::Option& option) {
  std::string out = "--" + option.get_lnames().front();
  if (option.get_expected_min() > 0) out += fmt::format(" <{}>", option.get_type_name());
  return out;
}

std::string command_name(const CLI::App& app, std::string_view program) {
  if (app.get_parent() == nullptr) return std::string(program);
  return fmt::format("{} {}", program, app.get_name());
}

std::string usage_line(const CLI::App& app, std::string_view program) {
  std::string out = command_name(app, program);
  if (app.get_parent() == nullptr) return out + " <COMMAND>";
  if (!named_options_of(app).empty()) out += " [OPTIONS]";
  for (const auto* positional : positionals_of(app)) out += " " + positional_text(*positional);
  return out;
}

// One entry of a help section: what is described and its help text in the
// short and the long form (the long form may span lines).
struct HelpRow {
  std::string left;
  std::string brief;
  std::string full;
};

void append_section(std::string& out, std::string_view title, const std::vector<HelpRow>& rows, bool full) {
  if (rows.empty()) return;
  out += fmt::format("\n{}:\n", title);
  if (full) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i != 0) out += "\n";
      out += fmt::format("  {}\n", rows[i].left);
      std::string_view text = rows[i].full;
      while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        out += line.empty() ? std::string("\n") : fmt::format("          {}\n", line);
        text.remove_prefix(std::min(end + 1, text.size()));
      }
    }
    return;
  }
  std::size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.left.size());
  for (const auto& row : rows) {
    if (row.brief.empty()) {
      out += fmt::format("  {}\n", row.left);
    } else {
      out += fmt::format("  {:<{}}  {}\n", row.left, width, row.brief);
    }
  }
}

HelpRow option_row(const CLI::App& app, const CLI::Option& option) {
  HelpRow row{"    " + option_text(option), option.get_description(), option.get_description()};
  const ArgumentSpec* spec = argument_spec(app, option);
  const auto values = spec != nullptr ? possible_values(*spec) : std::vector<PossibleValue>{};
  const std::string fallback = option.get_default_str();
  if (!fallback.empty()) row.brief += fmt::format(" [default: {}]", fallback);
  if (!values.empty()) {
    row.brief += fmt::format(" [possible values: {}]", possible_values_list(values));
    std::size_t width = 0;
    for (const auto& value : values) width = std::max(width, value.name.size() + 1);
    row.full += "\n\nPossible values:";
    for (const auto& value : values) {
      row.full += fmt::format("\n- {:<{}} {}", fmt::format("{}:", value.name), width, value.help);
    }
  }
  if (!fallback.empty()) row.full += fmt::format("\n\n[default: {}]", fallback);
  return row;
}

std::string render_help(const CLI::App& app, std::string_view program, bool full) {
  const bool root = app.get_parent() == nullptr;
  std::string out = full && root ? std::string(kLongAbout) : app.get_description();
  out += fmt::format("\n\nUsage: {}\n", usage_line(app, program));

  std::vector<HelpRow> commands;
  for (const auto* sub : subcommands_of(app)) commands.push_back({sub->get_name(), sub->get_description(), ""});
  append_section(out, "Commands", commands, false);

  std::vector<HelpRow> arguments;
  for (const auto* positional : positionals_of(app)) {
    arguments.push_back({positional_text(*positional), positional->get_description(), positional->get_description()});
  }
  append_section(out, "Arguments", arguments, full);

  std::vector<HelpRow> options;
  for (const auto* option : named_options_of(app)) options.push_back(option_row(app, *option));
  if (app.get_help_ptr() != nullptr) {
    options.push_back({"-h, --help", std::string(kShortHelpFlagText), std::string(kLongHelpFlagText)});
  }
  append_section(out, "Options", options, full);

  return out;
}

// CLI11 calls this when asked for help itself; the program asks render_help
// directly, with the program name it was started under.
class HelpFormatter final : public CLI::FormatterBase {
 public:
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
    const std::string program = name.substr(0, name.find(' '));
    return render_help(*app, program.empty() ? std::string(kProgram) : program, mode == CLI::AppFormatMode::All);
  }
};

void add_argument(CLI::App& sub, const ArgumentSpec& arg) {
  CLI::Option* option = nullptr;
  if (arg.kind == ValueKind::Flag) {
    option = sub.add_flag(arg.cli_name());
  } else {
    option = sub.add_option(arg.cli_name())->type_name(std::string(arg.value_name));
  }
  option->description(std::string(arg.help));
  option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  if (arg.required) option->required();
  if (arg.kind == ValueKind::PackageMode) option->default_str(default_package_mode_value());
}

// ---- Reports ------------------------------------------------------------

std::string in_quotes(std::string_view text) { return fmt::format("'{}'", display_path(text)); }

struct UsageError {
  std::string problem;  // may span lines
  std::string tip;
};

ParserExit usage_exit(const CLI::App& app, std::string_view program, const UsageError& error) {
  std::string text = fmt::format("error: {}\n", error.problem);
  if (!error.tip.empty()) text += fmt::format("\n  tip: {}\n", error.tip);
  text += fmt::format("\nUsage: {}\n\n{}\n", usage_line(app, program), kMoreInformation);
  return ParserExit{2, std::move(text)};
}

ParserExit help_exit(const CLI::App& app, std::string_view program, bool full) {
  return ParserExit{0, render_help(app, program, full)};
}

std::vector<std::string> long_names_of(const CLI::App& app) {
  std::vector<std::string> names;
  for (const auto* option : named_options_of(app)) names.push_back("--" + option->get_lnames().front());
  names.push_back("--help");
  return names;
}

UsageError unexpected_argument(const CLI::App& app, std::string_view token) {
  UsageError error{fmt::format("unexpected argument {} found", in_quotes(token)), ""};
  if (token.starts_with("--")) {
    if (auto similar = closest(token, long_names_of(app))) {
      error.tip = fmt::format("a similar argument exists: '{}'", *similar);
      return error;
    }
  }
  if (token.starts_with("-") && !positionals_of(app).empty()) {
    error.tip = fmt::format("to pass {} as a value, use '-- {}'", in_quotes(token), display_path(token));
  }
  return error;
}

// A value the command has no place for. It is a value whatever it looks
// like (it may follow "--"), so no option is suggested for it.
UsageError surplus_value(std::string_view value) {
  return {fmt::format("unexpected argument {} found", in_quotes(value)), ""};
}

UsageError unrecognized_subcommand(const CLI::App& root, std::string_view name) {
  UsageError error{fmt::format("unrecognized subcommand {}", in_quotes(name)), ""};
  if (auto similar = closest(name, subcommand_names(root))) error.tip = fmt::format("a similar subcommand exists: '{}'", *similar);
  return error;
}

UsageError missing_subcommand(const CLI::App& root, std::string_view program) {
  return {fmt::format("'{}' requires a subcommand but one was not provided\n  [subcommands: {}]", program,
                      fmt::join(subcommand_names(root), ", ")),
          ""};
}

std::string values_note(const std::vector<PossibleValue>& values) {
  return values.empty() ? std::string() : fmt::format("\n  [possible values: {}]", possible_values_list(values));
}

UsageError missing_value(const CLI::App& sub, const CLI::Option& option) {
  const ArgumentSpec* spec = argument_spec(sub, option);
  const std::string name = option.get_positional() ? positional_text(option) : option_text(option);
  return {fmt::format("a value is required for '{}' but none was supplied{}", name,
                      values_note(spec != nullptr ? possible_values(*spec) : std::vector<PossibleValue>{})),
          ""};
}

UsageError invalid_value(const CLI::Option& option, std::string_view value, const std::vector<PossibleValue>& values) {
  UsageError error{
      fmt::format("invalid value {} for '{}'{}", in_quotes(value), option_text(option), values_note(values)), ""};
  if (auto similar = closest(value, value_names(values))) error.tip = fmt::format("a similar value exists: '{}'", *similar);
  return error;
}

std::optional<PackageMode> package_mode_named(std::string_view name) {
  for (PackageMode mode : kPackageModes) {
    if (package_mode_possible_value(mode).name == name) return mode;
  }
  return std::nullopt;
}

// The typed check of one value of `option`.
std::optional<UsageError> check_value(const CLI::App& sub, const CLI::Option& option, const std::string& value) {
  const ArgumentSpec* spec = argument_spec(sub, option);
  if (spec == nullptr) return std::nullopt;
  switch (spec->kind) {
    case ValueKind::Text:
      if (!is_valid_utf8(value)) return UsageError{"invalid UTF-8 was detected in one or more arguments", ""};
      break;
    case ValueKind::Path:
      if (value.empty()) return missing_value(sub, option);
      break;
    case ValueKind::PackageMode:
      if (!package_mode_named(value)) return invalid_value(option, value, possible_values(*spec));
      break;
    case ValueKind::Flag:
    case ValueKind::CommandName:
      break;
  }
  return std::nullopt;
}

// The positionals' values are checked once CLI11 has placed them.
std::optional<UsageError> check_positionals(const CLI::App& sub) {
  for (const auto* positional : positionals_of(sub)) {
    if (positional->count() == 0 || positional->results().empty()) continue;
    if (auto fault = check_value(sub, *positional, positional->results().front())) return fault;
  }
  return std::nullopt;
}

// ---- Reading the argument vector ----------------------------------------

// The words after the subcommand, sorted into the forms CLI11 reads the way
// this grammar means them. Left to itself CLI11 2.1 takes "-1" or "--@" as a
// value, ends a subcommand at "++", lets "--json=x" through and has no
// notion of help at the level where it was asked; so every word is
// classified here first (left to right, so that the first help request or
// fault wins, as it would in a single pass), and CLI11 then checks counts,
// requirements and repetitions on options written "--name" or
// "--name=value" and values written after "--".
struct Classified {
  const CLI::App* sub = nullptr;
  std::vector<std::string> canonical;  // what CLI11 parses, program name excluded
};

// A word that names options rather than being a value.
bool option_like(std::string_view word) { return word.size() > 1 && word.front() == '-'; }

// Reads the option word at args[i] for `level` (the root or a subcommand):
// a help request, a fault, or the word CLI11 is to see. An option's value
// is taken from the next word unless attached with "=".
std::expected<std::string, ParserExit> read_option(const CLI::App& level, std::span<const std::string> args,
                                                   std::size_t& i, std::string_view program) {
  const std::string& word = args[i];
  if (word[1] != '-') {
    // A cluster of short flags; -h is the only one.
    if (word[1] == 'h') return std::unexpected(help_exit(level, program, false));
    return std::unexpected(usage_exit(level, program, unexpected_argument(level, word)));
  }
  const std::size_t equals = word.find('=');
  const std::string name = word.substr(0, equals);
  const std::optional<std::string> attached =
      equals == std::string::npos ? std::nullopt : std::optional<std::string>(word.substr(equals + 1));
  const CLI::Option* option = nullptr;
  for (const auto* candidate : named_options_of(level)) {
    if ("--" + candidate->get_lnames().front() == name) option = candidate;
  }
  const bool help = name == "--help";
  if (option == nullptr && !help) return std::unexpected(usage_exit(level, program, unexpected_argument(level, word)));
  const bool takes_value = option != nullptr && option->get_expected_min() > 0;
  if (!takes_value && attached) {
    return std::unexpected(usage_exit(
        level, program,
        {fmt::format("unexpected value {} for '{}' found; no more were expected", in_quotes(*attached), name), ""}));
  }
  if (help) return std::unexpected(help_exit(level, program, true));
  if (!takes_value) return word;
  std::string value;
  if (attached) {
    value = *attached;
  } else if (i + 1 < args.size() && !option_like(args[i + 1])) {
    value = args[++i];
  } else {
    return std::unexpected(usage_exit(level, program, missing_value(level, *option)));
  }
  // Checked here, as it is read: CLI11 would take an empty attached value
  // for a missing one.
  if (auto fault = check_value(level, *option, value)) return std::unexpected(usage_exit(level, program, *fault));
  return name + "=" + value;
}

std::expected<Classified, ParserExit> classify(const CLI::App& root, std::span<const std::string> args,
                                               std::string_view program) {
  // Before the subcommand: only -h and --help.
  std::size_t i = 1;
  const CLI::App* sub = nullptr;
  for (; i < args.size() && sub == nullptr; ++i) {
    const std::string& word = args[i];
    if (word == "--") {
      // The root takes no values, so whatever follows is out of place.
      if (i + 1 < args.size()) return std::unexpected(usage_exit(root, program, surplus_value(args[i + 1])));
      break;
    }
    if (option_like(word)) {
      auto read = read_option(root, args, i, program);
      if (!read) return std::unexpected(std::move(read.error()));
      continue;
    }
    sub = find_subcommand(root, word);
    if (sub == nullptr) return std::unexpected(usage_exit(root, program, unrecognized_subcommand(root, word)));
  }
  if (sub == nullptr) return std::unexpected(usage_exit(root, program, missing_subcommand(root, program)));

  Classified out{sub, {sub->get_name()}};
  std::vector<std::string> values;
  bool values_only = false;
  for (; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (values_only || !option_like(word)) {
      values.push_back(word);
    } else if (word == "--") {
      values_only = true;
    } else {
      auto read = read_option(*sub, args, i, program);
      if (!read) return std::unexpected(std::move(read.error()));
      out.canonical.push_back(std::move(*read));
    }
  }
  // Counted here rather than by CLI11, which takes a value "--" for its
  // separator once no positional is left to fill and then lets it pass.
  const std::size_t places = positionals_of(*sub).size();
  if (values.size() > places) return std::unexpected(usage_exit(*sub, program, surplus_value(values[places])));
  if (!values.empty()) {
    out.canonical.emplace_back("--");
    out.canonical.insert(out.canonical.end(), values.begin(), values.end());
  }
  return out;
}

// A CLI11 failure on the canonical words, told in this tool's terms.
ParserExit parse_failure(const CLI::App& root, const CLI::Error& failure, std::string_view program) {
  const auto chosen = root.get_subcommands();
  const CLI::App& sub = chosen.empty() ? root : *chosen.front();
  for (const auto* option : sub.get_options()) {
    if (option->count() > 1) {
      const std::string name = option->get_positional() ? positional_text(*option) : option_text(*option);
      return usage_exit(sub, program, {fmt::format("the argument '{}' cannot be used multiple times", name), ""});
    }
  }
  std::vector<std::string> surplus = sub.remaining();
  const auto above = root.remaining();
  surplus.insert(surplus.end(), above.begin(), above.end());
  for (const auto& word : surplus) {
    if (word != "--") return usage_exit(sub, program, unexpected_argument(sub, word));
  }
  std::vector<std::string> missing;
  for (const auto* positional : positionals_of(sub)) {
    if (positional->get_required() && positional->count() == 0) missing.push_back(positional_text(*positional));
  }
  if (!missing.empty()) {
    return usage_exit(sub, program,
                      {fmt::format("the following required arguments were not provided:\n  {}",
                                   fmt::join(missing, "\n  ")),
                       ""});
  }
  return usage_exit(sub, program, {failure.what(), ""});
}

// ---- From matches to a Cli ----------------------------------------------

// The values of one subcommand's matches, looked up by argument id.
class Matches {
 public:
  explicit Matches(const CLI::App& sub) : sub_(sub), spec_(subcommand_spec(sub.get_name())) {}

  // The given value, or the argument's default when it has one.
  std::optional<std::string> value(std::string_view id) const {
    const CLI::Option* option = find(id);
    if (option == nullptr) return std::nullopt;
    if (option->count() > 0 && !option->results().empty()) return option->results().front();
    if (!option->get_default_str().empty()) return option->get_default_str();
    return std::nullopt;
  }
  bool flag(std::string_view id) const {
    const CLI::Option* option = find(id);
    return option != nullptr && option->count() > 0;
  }

 private:
  const CLI::Option* find(std::string_view id) const {
    if (spec_ == nullptr) return nullptr;
    for (const auto& arg : spec_->arguments) {
      if (arg.id == id) return sub_.get_option_no_throw(arg.cli_name());
    }
    return nullptr;
  }

  const CLI::App& sub_;
  const SubcommandSpec* spec_;
};

// Builds the command from the chosen subcommand's matches by name. The
// grammar guarantees what is checked here; a failure means the description
// and this conversion disagree.
std::expected<CliCommand, std::string> convert(const CLI::App& root) {
  const auto chosen = root.get_subcommands();
  if (chosen.empty()) return std::unexpected("a subcommand is required but one was not provided");
  const CLI::App& sub = *chosen.front();
  const Matches matches(sub);
  const std::string& name = sub.get_name();
  auto required = [&](std::string_view id) -> std::expected<std::string, std::string> {
    if (auto value = matches.value(id)) return *value;
    return std::unexpected(fmt::format("the following required argument was not provided: {}", id));
  };
  auto build = [](auto&& value, auto make) -> std::expected<CliCommand, std::string> {
    if (!value) return std::unexpected(value.error());
    return make(std::move(*value));
  };

  if (name == "validate") {
    return build(required("profile_root"), [](std::string root) { return ValidateCommand{std::move(root)}; });
  }
  if (name == "list") return ListCommand{matches.flag("json")};
  if (name == "show") {
    return build(required("profile"), [&](std::string id) { return ShowCommand{std::move(id), matches.flag("json")}; });
  }
  if (name == "current") return CurrentCommand{matches.flag("json")};
  if (name == "select") {
    auto mode_name = required("package_mode");
    if (!mode_name) return std::unexpected(mode_name.error());
    const auto mode = package_mode_named(*mode_name);
    if (!mode) return std::unexpected(fmt::format("invalid value {} for '--packages'", in_quotes(*mode_name)));
    return build(required("profile"), [&](std::string id) { return SelectCommand{std::move(id), *mode}; });
  }
  if (name == "plan") {
    return build(required("profile"), [&](std::string id) { return PlanCommand{std::move(id), matches.flag("json")}; });
  }
  if (name == "update") return UpdateCommand{matches.value("profile")};
  if (name == "remove") {
    return build(required("profile"), [](std::string id) { return RemoveCommand{std::move(id)}; });
  }
  if (name == "prune") return PruneCommand{};
  return std::unexpected(fmt::format("the subcommand '{}' wasn't recognized", name));
}

// `help` and `help NAME`: the long help of the root or of that subcommand.
ParserExit answer_help_command(const CLI::App& root, const CLI::App& help, std::string_view program) {
  const auto operand = Matches(help).value("command");
  if (!operand) return help_exit(root, program, true);
  if (const CLI::App* sub = find_subcommand(root, *operand)) return help_exit(*sub, program, true);
  return usage_exit(help, program, unrecognized_subcommand(root, *operand));
}

std::string program_name(std::span<const std::string> args) {
  if (args.empty()) return std::string(kProgram);
  const std::string& path = args.front();
  const std::size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return base.empty() ? std::string(kProgram) : display_path(base);
}

}  // namespace

PossibleValue package_mode_possible_value(PackageMode mode) {
  switch (mode) {
    case PackageMode::Install:
      return {"install", "Install declared packages with sudo pacman before activation"};
    case PackageMode::Verify:
      return {"verify", "Require every declared package to be installed without invoking sudo"};
  }
  return {"install", "Install declared packages with sudo pacman before activation"};
}

const std::string& default_package_mode_value() {
  static const std::string value(package_mode_possible_value(PackageMode::Install).name);
  return value;
}

std::unique_ptr<CLI::App> cli_command() {
  auto app = std::make_unique<CLI::App>(std::string(kAbout), std::string(kProgram));
  app->formatter(std::make_shared<HelpFormatter>());
  app->set_help_flag("-h", std::string(kShortHelpFlagText));
  app->set_help_all_flag("--help", std::string(kLongHelpFlagText));
  app->require_subcommand(1);
  for (const auto& spec : kSubcommands) {
    CLI::App* sub = app->add_subcommand(std::string(spec.name), std::string(spec.about));
    for (const auto& arg : spec.arguments) add_argument(*sub, arg);
  }
  return app;
}

std::expected<Cli, ParserExit> parse_cli(std::span<const std::string> args) {
  const std::string program = program_name(args);
  const auto app = cli_command();
  if (args.size() <= 1) return std::unexpected(ParserExit{2, render_help(*app, program, false)});

  auto classified = classify(*app, args, program);
  if (!classified) return std::unexpected(std::move(classified.error()));
  std::vector<std::string> reversed(classified->canonical.rbegin(), classified->canonical.rend());
  try {
    app->parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return std::unexpected(help_exit(*classified->sub, program, false));
  } catch (const CLI::CallForAllHelp&) {
    return std::unexpected(help_exit(*classified->sub, program, true));
  } catch (const CLI::Error& failure) {
    return std::unexpected(parse_failure(*app, failure, program));
  }

  const CLI::App& sub = *classified->sub;
  if (auto fault = check_positionals(sub)) return std::unexpected(usage_exit(sub, program, *fault));
  if (sub.get_name() == kHelpCommand) return std::unexpected(answer_help_command(*app, sub, program));
  auto command = convert(*app);
  if (!command) return std::unexpected(usage_exit(*app, program, {command.error(), ""}));
  return Cli{std::move(*command)};
}

}  // namespace vorpel
