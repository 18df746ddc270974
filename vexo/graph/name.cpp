#include "name.hpp"

#include <unordered_map>

namespace vexo::graph {

// The pool is only touched from the thread that holds the interpreter's lock.
const std::string* Name::intern(std::string_view text) {
  static auto* pool = new std::unordered_map<std::string_view, const std::string*>();
  auto it = pool->find(text);
  if (it != pool->end()) return it->second;
  const auto* s = new std::string(text);
  pool->emplace(std::string_view(*s), s);
  return s;
}

const std::string* Name::empty_text() {
  static const std::string* e = intern(std::string_view());
  return e;
}

std::vector<std::string> texts(const Names& names) {
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const Name& n : names) out.push_back(n.str());
  return out;
}

Names names(const std::vector<std::string>& texts) {
  Names out;
  out.reserve(texts.size());
  for (const std::string& t : texts) out.emplace_back(t);
  return out;
}

}  // namespace vexo::graph
