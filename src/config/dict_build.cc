#include "config/dict_build.h"

namespace corvanta::dict::build {

std::optional<Element> element_value(std::string_view v) {
  return parse_element(value_name(v, 40));
}

ItemResult set_length(std::uint32_t& length, bool& fixed, std::string_view value) {
  length = value_number(value);
  const std::size_t colon = value.find(':');
  if (colon == std::string_view::npos) return kItemOk;
  const std::string_view form = value.substr(colon + 1);
  if (begins(form, "F"))
    fixed = true;
  else if (begins(form, "V"))
    fixed = false;
  else
    return kWrongKeyword;
  return kItemOk;
}

ResultCode read_set(const std::vector<std::string>& paths, ErrorOutput errors, GroupBuilder& groups,
                    const std::function<ResultCode(const Statement&, std::size_t&)>& statement,
                    const std::function<ResultCode()>& complete) {
  const ReaderCallbacks callbacks{
      [&](const std::string& label, const std::string& file, long line) { groups.label(label, file, line); },
      statement};
  ResultCode rc = read_dictionary_files(paths, errors, callbacks);
  if (rc.ok() || errors.stream != nullptr) {
    const ResultCode completed = complete();
    if (rc.ok()) rc = completed;
  }
  return rc;
}

Binder::Binder(std::vector<Group>& groups, ErrorOutput errors) : groups_(groups), errors_(errors) {
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    const std::string& name = groups_[i].label;
    if (name.empty()) continue;
    auto [it, fresh] = labels_.emplace(name, static_cast<int>(i));
    if (!fresh && reported_ambiguous_.insert(name).second) {
      report_text(errors_, "\nLABEL " + name + " AMBIGUOUS");
    }
  }
}

const Group* Binder::bind(LabelRef& r) {
  if (!r.given()) return nullptr;
  const auto it = labels_.find(r.name);
  if (it == labels_.end()) {
    fail("\nLABEL " + r.name + " NOT DEFINED");
    return nullptr;
  }
  r.group = it->second;
  return &groups_[static_cast<std::size_t>(it->second)];
}

void Binder::fail(const std::string& message) {
  report_text(errors_, message);
  if (result_.ok()) result_ = kUndefinedLabel;
}

}  // namespace corvanta::dict::build
