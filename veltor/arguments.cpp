#include "veltor/arguments.h"

namespace veltor::cli {

std::optional<std::string_view> ParsedArguments::Value(std::string_view longName) const {
  for (const auto& [name, value] : options) {
    if (name == longName) return value;
  }
  return std::nullopt;
}

std::vector<std::string> ParsedArguments::Values(std::string_view longName) const {
  std::vector<std::string> values;
  for (const auto& [name, value] : options) {
    if (name == longName) values.emplace_back(value);
  }
  return values;
}

bool ParsedArguments::Has(std::string_view longName) const { return Value(longName).has_value(); }

namespace {

const OptionDefinition* FindLong(std::span<const OptionDefinition> definitions, std::string_view name) {
  for (const OptionDefinition& candidate : definitions) {
    if (name == candidate.longName) return &candidate;
  }
  return nullptr;
}

const OptionDefinition* FindShort(std::span<const OptionDefinition> definitions, char letter) {
  for (const OptionDefinition& candidate : definitions) {
    if (candidate.shortName.size() == 2 && candidate.shortName[1] == letter) return &candidate;
  }
  return nullptr;
}

}  // namespace

std::optional<ParsedArguments> ParseArguments(std::span<const std::string_view> arguments,
                                              std::span<const OptionDefinition> definitions, std::string& error) {
  ParsedArguments parsed;
  bool optionsEnded = false;
  // Records one option; `shown` is how the user wrote its name.
  const auto add = [&](const OptionDefinition& definition, std::string_view shown,
                       std::optional<std::string_view> value) {
    if (!definition.repeatable && parsed.Has(definition.longName)) {
      error = "option '" + std::string(definition.longName) + "' is given twice";
      return false;
    }
    if (definition.takesValue && (!value || value->empty())) {
      error = "option '" + std::string(shown) + (value ? "' needs a non-empty value" : "' needs a value");
      return false;
    }
    if (!definition.takesValue && value) {
      error = "option '" + std::string(shown) + "' takes no value";
      return false;
    }
    parsed.options.emplace_back(definition.longName, value.value_or(std::string_view()));
    return true;
  };
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
    if (argument.starts_with("--")) {
      const size_t equals = argument.find('=');
      const std::string_view name = argument.substr(0, equals);
      if (name == "--help") {
        parsed.help = true;
        continue;
      }
      const OptionDefinition* definition = FindLong(definitions, name);
      if (definition == nullptr) {
        error = "unknown option '" + std::string(name) + "'";
        return std::nullopt;
      }
      std::optional<std::string_view> value;
      if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
      } else if (definition->takesValue && i + 1 < arguments.size()) {
        value = arguments[++i];
      }
      if (!add(*definition, name, value)) return std::nullopt;
      continue;
    }
    // Short options, bundled as getopt does: "-ri" is "-r -i"; a letter that
    // takes a value takes the rest ("-j4") or the next argument ("-j 4").
    for (size_t letter = 1; letter < argument.size(); ++letter) {
      const std::string shown{'-', argument[letter]};
      if (argument[letter] == 'h') {
        parsed.help = true;
        continue;
      }
      const OptionDefinition* definition = FindShort(definitions, argument[letter]);
      if (definition == nullptr) {
        error = "unknown option '" + shown + "'";
        return std::nullopt;
      }
      std::optional<std::string_view> value;
      if (definition->takesValue) {
        if (letter + 1 < argument.size()) {
          value = argument.substr(letter + 1);
        } else if (i + 1 < arguments.size()) {
          value = arguments[++i];
        }
        if (!add(*definition, shown, value)) return std::nullopt;
        break;
      }
      if (!add(*definition, shown, value)) return std::nullopt;
    }
  }
  return parsed;
}

}  // namespace veltor::cli
