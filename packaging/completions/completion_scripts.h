// Shell completion scripts for `vek`, rendered from its table of commands and options.
//
// Each script holds the table as data plus one small function that walks the words typed so far
// the way the argument parser does (an option that takes a value swallows the next word), finds
// the command, and offers its sub-commands, options, operand or an option's value. Ids come from
// this Mac's state directory: the project registry, the job folders, and the group's Macs and
// phones as this Mac last fetched them (GroupCache); completing never starts `vek` and never
// reaches the relay.
#pragma once

#include <string>

namespace vek::completions {

/// A bash script that registers the completion of `vek` (for bash-completion's directory).
std::string bashScript();

/// A zsh completion function file, "#compdef vek" (for a directory in fpath, named "_vek").
std::string zshScript();

/// A fish completions file (for fish's vendor_completions.d, named "vek.fish").
std::string fishScript();

}  // namespace vek::completions
