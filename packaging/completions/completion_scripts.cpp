#include "completion_scripts.h"

#include <map>
#include <set>
#include <vector>

#include "cli/command_table.h"

namespace vek::completions {

namespace {

using cli::CommandSpec;
using cli::OptionSpec;
using cli::ValueSource;

// How a value is completed, as the scripts spell it: "text", "file", "projectId", "jobId",
// "macId", "udid" or "choice:" followed by the accepted values separated by spaces.
std::string sourceWord(ValueSource source, const std::vector<std::string_view>& choices = {}) {
  switch (source) {
    case ValueSource::file:
      return "file";
    case ValueSource::projectId:
      return "projectId";
    case ValueSource::jobId:
      return "jobId";
    case ValueSource::macId:
      return "macId";
    case ValueSource::udid:
      return "udid";
    case ValueSource::choice: {
      std::string word = "choice:";
      for (std::size_t i = 0; i < choices.size(); ++i) {
        if (i > 0) word += ' ';
        word += choices[i];
      }
      return word;
    }
    case ValueSource::text:
      break;
  }
  return "text";
}

std::string firstWord(std::string_view words) {
  return std::string(words.substr(0, words.find(' ')));
}

std::string secondWord(std::string_view words) {
  std::size_t space = words.find(' ');
  return space == std::string_view::npos ? std::string() : std::string(words.substr(space + 1));
}

std::string joined(const std::vector<std::string_view>& words) {
  std::string text;
  for (auto word : words) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  return text;
}

// Single-quoted for every shell here: a quote inside becomes '\'' (bash, zsh) or \' (fish).
std::string quoted(std::string_view text, bool fish = false) {
  std::string result = "'";
  for (char c : text) {
    if (c == '\'') {
      result += fish ? "\\'" : "'\\''";
    } else if (fish && c == '\\') {
      result += "\\\\";
    } else {
      result += c;
    }
  }
  return result + "'";
}

// The first words in help order, each once, with the summary of the command they start (a
// command group gets a summary naming its sub-commands).
std::vector<std::pair<std::string, std::string>> topWords() {
  std::vector<std::pair<std::string, std::string>> words;
  std::map<std::string, std::string> groups;
  for (const auto& command : cli::commands()) {
    std::string first = firstWord(command.words);
    std::string second = secondWord(command.words);
    bool seen = false;
    for (const auto& [word, summary] : words)
      seen = seen || word == first;
    if (!second.empty()) {
      groups[first] += (groups[first].empty() ? "" : ", ") + second;
    }
    if (!seen) words.emplace_back(first, std::string(command.summary));
  }
  for (auto& [word, summary] : words) {
    if (groups.count(word)) summary = "Commands: " + groups[word];
  }
  return words;
}

// Sub-commands of each command group, in help order.
std::map<std::string, std::vector<const CommandSpec*>> subCommands() {
  std::map<std::string, std::vector<const CommandSpec*>> groups;
  for (const auto& command : cli::commands()) {
    if (!secondWord(command.words).empty()) groups[firstWord(command.words)].push_back(&command);
  }
  return groups;
}

}  // namespace

std::string bashScript() {
  std::string script =
      "# bash completion for vek. Generated from vek's table of commands and options; edit that\n"
      "# table, not this file. Ids come from this Mac's state directory (the group's Macs and\n"
      "# phones as it last saw them); the relay is never asked.\n\n";

  script += "_vek_top=" + quoted([] {
              std::string words;
              for (const auto& [word, summary] : topWords())
                words += (words.empty() ? "" : " ") + word;
              return words;
            }()) +
            "\n";
  script += "_vek_global=" + quoted(joined(cli::globalOptions())) + "\n";
  script += "declare -gA _vek_value_source=(\n";
  for (const auto& option : cli::options()) {
    if (!option.isFlag()) {
      script += "  [" + std::string(option.name) +
                "]=" + quoted(sourceWord(option.source, option.choices)) + "\n";
    }
  }
  script += ")\ndeclare -gA _vek_subcommands=(\n";
  for (const auto& [group, members] : subCommands()) {
    std::vector<std::string_view> words;
    std::vector<std::string> storage;
    for (const auto* command : members)
      storage.push_back(secondWord(command->words));
    for (const auto& word : storage)
      words.push_back(word);
    script += "  [" + group + "]=" + quoted(joined(words)) + "\n";
  }
  script += ")\ndeclare -gA _vek_options=(\n";
  for (const auto& command : cli::commands()) {
    script += "  [" + quoted(command.words) + "]=" + quoted(joined(command.options)) + "\n";
  }
  script += ")\ndeclare -gA _vek_operand=(\n";
  for (const auto& command : cli::commands()) {
    if (!command.operand.empty()) {
      script +=
          "  [" + quoted(command.words) + "]=" + quoted(sourceWord(command.operandSource)) + "\n";
    }
  }
  script += ")\n";
  script += R"BASH(
_vek_state_dir() {
  if [[ -v VEK_STATE_DIR ]]; then
    printf '%s\n' "${VEK_STATE_DIR:-.}"
  elif [[ ${XDG_DATA_HOME:-} == /* ]]; then
    printf '%s\n' "$XDG_DATA_HOME/VEK"
  else
    printf '%s\n' "$HOME/.local/share/VEK"
  fi
}

# Prints the ids of this Mac's registered projects (projectId), of its job folders (jobId), or of
# the group's Macs (macId) and their phones (udid) as this Mac last saw them.
_vek_ids() {
  local state uuid='[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}'
  local entry id rest kind=mac
  state=$(_vek_state_dir)
  case $1 in
    macId | udid)
      [[ $1 == udid ]] && kind=phone
      [[ -f $state/group-ids.tsv && -r $state/group-ids.tsv ]] || return 0
      while IFS=$'\t' read -r entry id rest; do
        [[ $entry == "$kind" && $id =~ ^[A-Za-z0-9._-]+$ ]] && printf '%s\n' "$id"
      done <"$state/group-ids.tsv"
      ;;
    projectId)
      [[ -f $state/projects.json && -r $state/projects.json ]] || return 0
      grep -oE "\"id\"[[:space:]]*:[[:space:]]*\"$uuid\"" -- "$state/projects.json" 2>/dev/null |
        grep -oE "$uuid"
      ;;
    jobId)
      for entry in "$state"/Jobs/*/; do
        entry=${entry%/}
        entry=${entry##*/}
        [[ $entry =~ ^$uuid$ ]] && printf '%s\n' "$entry"
      done
      ;;
  esac
  return 0
}

_vek_complete_value() {
  local IFS=$'\n'
  case $1 in
    file)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -f -- "$cur"))
      ;;
    projectId | jobId | macId | udid) COMPREPLY=($(compgen -W "$(_vek_ids "$1")" -- "$cur")) ;;
    choice:*)
      IFS=' '
      COMPREPLY=($(compgen -W "${1#choice:}" -- "$cur"))
      ;;
    *) COMPREPLY=() ;;
  esac
}

_vek() {
  local cur=${COMP_WORDS[COMP_CWORD]} word key i operands
  local -a positional=()
  COMPREPLY=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -n ${_vek_value_source[$word]+set} ]]; then
      if ((i + 1 == COMP_CWORD)); then
        _vek_complete_value "${_vek_value_source[$word]}"
        return 0
      fi
      ((i++))
      continue
    fi
    [[ $word == -* ]] || positional+=("$word")
  done

  if ((${#positional[@]} == 0)); then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "$_vek_global" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$_vek_top" -- "$cur"))
    fi
    return 0
  fi
  if [[ -n ${_vek_subcommands[${positional[0]}]+set} ]]; then
    if ((${#positional[@]} == 1)); then
      [[ $cur == -* ]] || COMPREPLY=($(compgen -W "${_vek_subcommands[${positional[0]}]}" -- "$cur"))
      return 0
    fi
    key="${positional[0]} ${positional[1]}"
    operands=$((${#positional[@]} - 2))
  else
    key=${positional[0]}
    operands=$((${#positional[@]} - 1))
  fi
  [[ -n ${_vek_options[$key]+set} ]] || return 0
  if [[ $cur == -* || -z ${_vek_operand[$key]:-} ]] || ((operands > 0)); then
    COMPREPLY=($(compgen -W "${_vek_options[$key]}" -- "$cur"))
  else
    _vek_complete_value "${_vek_operand[$key]}"
  fi
  return 0
}

complete -F _vek vek
)BASH";
  return script;
}

std::string zshScript() {
  std::string script =
      "#compdef vek\n"
      "# zsh completion for vek. Generated from vek's table of commands and options; edit that\n"
      "# table, not this file. Ids come from this Mac's state directory (the group's Macs and\n"
      "# phones as it last saw them); the relay is never asked.\n\n";
  auto describe = [](std::string_view word, std::string_view summary) {
    std::string escaped;
    for (char c : word) {
      if (c == ':') escaped += '\\';
      escaped += c;
    }
    return quoted(escaped + ":" + std::string(summary));
  };
  script += "typeset -ga _vek_top=(\n";
  for (const auto& [word, summary] : topWords())
    script += "  " + describe(word, summary) + "\n";
  script += ")\ntypeset -ga _vek_global=(\n";
  for (auto name : cli::globalOptions()) {
    script += "  " + describe(name, cli::findOption(name)->summary) + "\n";
  }
  script += ")\ntypeset -gA _vek_value_source=(\n";
  for (const auto& option : cli::options()) {
    if (!option.isFlag()) {
      script += "  " + std::string(option.name) + " " +
                quoted(sourceWord(option.source, option.choices)) + "\n";
    }
  }
  script += ")\ntypeset -gA _vek_subcommands=(\n";
  for (const auto& [group, members] : subCommands()) {
    std::string list;
    for (const auto* command : members) {
      list += (list.empty() ? "" : "\n") + secondWord(command->words) + ":" +
              std::string(command->summary);
    }
    script += "  " + group + " " + quoted(list) + "\n";
  }
  script += ")\ntypeset -gA _vek_options=(\n";
  for (const auto& command : cli::commands()) {
    std::string list;
    for (auto name : command.options) {
      list += (list.empty() ? "" : "\n") + std::string(name) + ":" +
              std::string(cli::findOption(name)->summary);
    }
    script += "  " + quoted(command.words) + " " + quoted(list) + "\n";
  }
  script += ")\ntypeset -gA _vek_operand=(\n";
  for (const auto& command : cli::commands()) {
    if (!command.operand.empty()) {
      script +=
          "  " + quoted(command.words) + " " + quoted(sourceWord(command.operandSource)) + "\n";
    }
  }
  script += ")\n";
  script += R"ZSH(
_vek_state_dir() {
  if (( ${+VEK_STATE_DIR} )); then
    print -r -- "${VEK_STATE_DIR:-.}"
  elif [[ ${XDG_DATA_HOME:-} == /* ]]; then
    print -r -- "$XDG_DATA_HOME/VEK"
  else
    print -r -- "$HOME/.local/share/VEK"
  fi
}

# Prints the ids of this Mac's registered projects (projectId), of its job folders (jobId), or of
# the group's Macs (macId) and their phones (udid) as this Mac last saw them, each of the last two
# followed by a tab and its name.
_vek_ids() {
  local state uuid='[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}'
  local entry id name kind=mac
  state=$(_vek_state_dir)
  case $1 in
    macId | udid)
      [[ $1 == udid ]] && kind=phone
      [[ -f $state/group-ids.tsv && -r $state/group-ids.tsv ]] || return 0
      while IFS=$'\t' read -r entry id name; do
        [[ $entry == $kind && $id =~ '^[A-Za-z0-9._-]+$' ]] && print -r -- "$id"$'\t'"${name%%$'\t'*}"
      done <$state/group-ids.tsv
      ;;
    projectId)
      [[ -f $state/projects.json && -r $state/projects.json ]] || return 0
      grep -oE "\"id\"[[:space:]]*:[[:space:]]*\"$uuid\"" -- "$state/projects.json" 2>/dev/null |
        grep -oE "$uuid"
      ;;
    jobId)
      for entry in "$state"/Jobs/*(N/:t); do
        [[ $entry =~ "^${uuid}\$" ]] && print -r -- "$entry"
      done
      ;;
  esac
  return 0
}

_vek_complete_value() {
  local -a values
  case $1 in
    file) _files ;;
    projectId | jobId)
      values=(${(f)"$(_vek_ids $1)"})
      compadd -a values
      ;;
    macId | udid)
      local -a names
      local line
      for line in ${(f)"$(_vek_ids $1)"}; do
        values+=(${line%%$'\t'*})
        names+=("${line%%$'\t'*}  ${line#*$'\t'}")
      done
      compadd -l -d names -a values
      ;;
    choice:*)
      values=(${(s: :)${1#choice:}})
      compadd -a values
      ;;
    *) _message 'value' ;;
  esac
}

_vek() {
  local word key cur=${words[CURRENT]}
  local -a positional list
  integer i operands
  for (( i = 2; i < CURRENT; i++ )); do
    word=${words[i]}
    if (( ${+_vek_value_source[$word]} )); then
      if (( i + 1 == CURRENT )); then
        _vek_complete_value ${_vek_value_source[$word]}
        return
      fi
      (( i++ ))
      continue
    fi
    [[ $word == -* ]] || positional+=($word)
  done

  if (( ${#positional} == 0 )); then
    if [[ $cur == -* ]]; then
      _describe -t options 'option' _vek_global
    else
      _describe -t commands 'vek command' _vek_top
    fi
    return
  fi
  if (( ${+_vek_subcommands[${positional[1]}]} )); then
    if (( ${#positional} == 1 )); then
      list=(${(f)_vek_subcommands[${positional[1]}]})
      _describe -t commands "vek ${positional[1]} command" list
      return
    fi
    key="${positional[1]} ${positional[2]}"
    operands=$(( ${#positional} - 2 ))
  else
    key=${positional[1]}
    operands=$(( ${#positional} - 1 ))
  fi
  (( ${+_vek_options[$key]} )) || return 1
  if [[ $cur == -* || -z ${_vek_operand[$key]:-} ]] || (( operands > 0 )); then
    list=(${(f)_vek_options[$key]})
    _describe -t options 'option' list
  else
    _vek_complete_value ${_vek_operand[$key]}
  fi
}

_vek "$@"
)ZSH";
  return script;
}

std::string fishScript() {
  std::string script =
      "# fish completion for vek. Generated from vek's table of commands and options; edit that\n"
      "# table, not this file. Ids come from this Mac's state directory (the group's Macs and\n"
      "# phones as it last saw them); the relay is never asked.\n\n";
  script += "set -g __vek_valued";
  for (const auto& option : cli::options()) {
    if (!option.isFlag()) script += " -- " + std::string(option.name);
  }
  script += R"FISH(

function __vek_state_dir
    if set -q VEK_STATE_DIR
        if test -n "$VEK_STATE_DIR"
            echo $VEK_STATE_DIR
        else
            echo .
        end
    else if string match -q -- '/*' "$XDG_DATA_HOME"
        echo $XDG_DATA_HOME/VEK
    else
        echo $HOME/.local/share/VEK
    end
end

# Prints the ids of this Mac's registered projects (projectId), of its job folders (jobId), or of
# the group's Macs (macId) and their phones (udid) as this Mac last saw them, each of the last two
# followed by a tab and its name (fish shows it beside the id).
function __vek_ids
    set -l uuid '[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}'
    set -l state (__vek_state_dir)
    switch $argv[1]
        case macId udid
            set -l kind mac
            test $argv[1] = udid; and set kind phone
            test -f $state/group-ids.tsv; and test -r $state/group-ids.tsv; or return 0
            string match -r -g "^$kind\t([A-Za-z0-9._-]+\t[^\t]*)" <$state/group-ids.tsv
        case projectId
            test -f $state/projects.json; and test -r $state/projects.json; or return 0
            string match -r -a -g "\"id\"\\s*:\\s*\"($uuid)\"" <$state/projects.json
        case jobId
            for entry in $state/Jobs/*/
                string match -r -- "^$uuid\$" (basename $entry)
            end
    end
    return 0
end

# The words typed before the cursor that are neither options nor option values.
function __vek_positionals
    set -l tokens (commandline -opc)
    set -e tokens[1]
    set -l skip 0
    for token in $tokens
        if test $skip = 1
            set skip 0
            continue
        end
        if contains -- $token $__vek_valued
            set skip 1
            continue
        end
        string match -q -- '-*' $token; or echo $token
    end
end

# True when the words typed so far are exactly those given (no command yet when none are).
function __vek_at
    set -l positional (__vek_positionals)
    test (count $positional) -eq (count $argv); or return 1
    for i in (seq (count $argv))
        test "$positional[$i]" = "$argv[$i]"; or return 1
    end
end

# True when the command named by the arguments has been typed (operands may follow).
function __vek_in
    set -l positional (__vek_positionals)
    test (count $positional) -ge (count $argv); or return 1
    for i in (seq (count $argv))
        test "$positional[$i]" = "$argv[$i]"; or return 1
    end
end

complete -c vek -f
)FISH";
  for (auto name : cli::globalOptions()) {
    script += "complete -c vek -n '__vek_at' -l " + std::string(name.substr(2)) + " -d " +
              quoted(cli::findOption(name)->summary, true) + "\n";
  }
  for (const auto& [word, summary] : topWords()) {
    script += "complete -c vek -n '__vek_at' -a " + quoted(word, true) + " -d " +
              quoted(summary, true) + "\n";
  }
  for (const auto& [group, members] : subCommands()) {
    for (const auto* command : members) {
      script += "complete -c vek -n " + quoted("__vek_at " + group, true) + " -a " +
                quoted(secondWord(command->words), true) + " -d " + quoted(command->summary, true) +
                "\n";
    }
  }
  for (const auto& command : cli::commands()) {
    std::string condition = quoted("__vek_in " + std::string(command.words), true);
    for (auto name : command.options) {
      const OptionSpec* option = cli::findOption(name);
      script += "complete -c vek -n " + condition + " -l " + std::string(name.substr(2));
      switch (option->isFlag() ? ValueSource::text : option->source) {
        case ValueSource::file:
          script += " -r -F";
          break;
        case ValueSource::projectId:
        case ValueSource::jobId:
        case ValueSource::macId:
        case ValueSource::udid:
          script += " -x -a " + quoted("(__vek_ids " + sourceWord(option->source) + ")", true);
          break;
        case ValueSource::choice:
          script += " -x -a " + quoted(joined(option->choices), true);
          break;
        case ValueSource::text:
          if (!option->isFlag()) script += " -x";
          break;
      }
      script += " -d " + quoted(option->summary, true) + "\n";
    }
    if (!command.operand.empty()) {
      std::string at = quoted("__vek_at " + std::string(command.words), true);
      switch (command.operandSource) {
        case ValueSource::file:
          script += "complete -c vek -n " + at + " -F\n";
          break;
        case ValueSource::projectId:
        case ValueSource::jobId:
        case ValueSource::macId:
        case ValueSource::udid:
          script += "complete -c vek -n " + at + " -a " +
                    quoted("(__vek_ids " + sourceWord(command.operandSource) + ")", true) + " -d " +
                    quoted(command.operand, true) + "\n";
          break;
        default:
          break;
      }
    }
  }
  return script;
}

}  // namespace vek::completions
