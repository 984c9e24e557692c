#include "tools/veltor/arguments.h"

namespace veltor::cli {

std::optional<std::string_view> ParsedArguments::Value(std::string_view longName) const {
  for (const auto& [name, value] : options) {
    if (name == longName) return value;
  }
  return std::nullopt;
}

bool ParsedArguments::Has(std::string_view longName) const { return Value(longName).has_value(); }

std::optional<ParsedArguments> ParseArguments(std::span<const std::string_view> arguments,
                                              std::span<const OptionDefinition> definitions, std::string& error) {
  ParsedArguments parsed;
  bool optionsEnded = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      parsed.positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (argument == "-h" || argument == "--help") {
      parsed.help = true;
      continue;
    }
    std::string_view name = argument;
    std::optional<std::string_view> inlineValue;
    if (const size_t equals = argument.find('='); argument.starts_with("--") && equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      inlineValue = argument.substr(equals + 1);
    }
    const OptionDefinition* definition = nullptr;
    for (const OptionDefinition& candidate : definitions) {
      if (name == candidate.longName || (!candidate.shortName.empty() && name == candidate.shortName)) {
        definition = &candidate;
      }
    }
    if (definition == nullptr) {
      error = "unknown option '" + std::string(argument) + "'";
      return std::nullopt;
    }
    if (parsed.Has(definition->longName)) {
      error = "option '" + std::string(definition->longName) + "' is given twice";
      return std::nullopt;
    }
    std::string_view value;
    if (definition->takesValue) {
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
      } else {
        error = "option '" + std::string(name) + "' needs a value";
        return std::nullopt;
      }
      if (value.empty()) {
        error = "option '" + std::string(name) + "' needs a non-empty value";
        return std::nullopt;
      }
    } else if (inlineValue) {
      error = "option '" + std::string(name) + "' takes no value";
      return std::nullopt;
    }
    parsed.options.emplace_back(definition->longName, value);
  }
  return parsed;
}

}  // namespace veltor::cli
