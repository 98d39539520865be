#include "search/query.h"

#include <cctype>

namespace corvanta::records {
namespace {

constexpr int kMaxDepth = 64;  // nesting of parentheses

bool is_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
bool starts_comparison(char c) {
  return c == '=' || c == '<' || c == '>';
}

class Parser {
 public:
  Parser(char mode, std::string_view text, ParsedQuery& out, std::size_t max)
      : mode_(mode), t_(text), out_(out), max_(max) {}

  ResultCode run() {
    out_ = ParsedQuery{};
    if (mode_ == 'I' || mode_ == 'L') return single_term();
    int first = -1;
    if (const ResultCode rc = query(0, first); rc.failed()) return rc;
    skip_blanks();
    return i_ < t_.size() ? ResultCode(kQuerySyntax) : ResultCode(0);  // an unbalanced ")"
  }

 private:
  char mode_;
  std::string_view t_;
  ParsedQuery& out_;
  std::size_t max_;
  std::size_t i_ = 0;
  std::string last_aspect_;      // of the last element that had an aspect
  std::string compared_aspect_;  // of the last element that had a comparison
  Comparison last_comparison_ = Comparison::Equal;

  void skip_blanks() {
    while (i_ < t_.size() && t_[i_] == ' ') ++i_;
  }

  // The operator letter and length (blanks around it included) when one
  // starts at `p`, else 0.
  std::size_t operator_at(std::size_t p, char* letter = nullptr) const {
    if (p >= t_.size() || t_[p] != ' ') return 0;
    std::size_t k = p;
    while (k < t_.size() && t_[k] == ' ') ++k;
    static constexpr struct {
      std::string_view word;
      char letter;
    } kOps[] = {{"AND", 'A'}, {"OR", 'O'}, {"NOT", 'N'}};
    for (const auto& op : kOps) {
      if (k + op.word.size() >= t_.size()) continue;
      bool same = true;
      for (std::size_t j = 0; j < op.word.size() && same; ++j) same = upper(t_[k + j]) == op.word[j];
      if (same && t_[k + op.word.size()] == ' ') {
        if (letter != nullptr) *letter = op.letter;
        return k + op.word.size() + 1 - p;
      }
    }
    return 0;
  }

  ResultCode add_node(char op, char kind, std::size_t payload, int& index) {
    if (out_.nodes.size() >= max_) return kTooManyElements;
    out_.nodes.push_back(QueryNode{op, kind, payload, -1});
    index = static_cast<int>(out_.nodes.size()) - 1;
    return 0;
  }

  ResultCode query(int depth, int& first) {
    if (depth > kMaxDepth) return kQuerySyntax;
    first = -1;
    int previous = -1;
    char op = 'R';
    for (;;) {
      skip_blanks();
      int node = -1;
      if (const ResultCode rc = element(op, depth, node); rc.failed()) return rc;
      if (previous < 0) {
        first = node;
      } else {
        out_.nodes[static_cast<std::size_t>(previous)].next = node;
      }
      previous = node;
      const std::size_t len = operator_at(i_, &op);
      if (len != 0) {
        i_ += len;
        continue;
      }
      skip_blanks();
      if (i_ >= t_.size() || t_[i_] == ')') return 0;
      return kQuerySyntax;
    }
  }

  ResultCode element(char op, int depth, int& node) {
    if (i_ < t_.size() && t_[i_] == '(') {
      ++i_;
      if (const ResultCode rc = add_node(op, 'Q', 0, node); rc.failed()) return rc;
      int first = -1;
      if (const ResultCode rc = query(depth + 1, first); rc.failed()) return rc;
      if (i_ >= t_.size() || t_[i_] != ')') return kQuerySyntax;
      ++i_;
      out_.nodes[static_cast<std::size_t>(node)].payload = static_cast<std::size_t>(first);
      return 0;
    }
    if (mode_ == 'R' && i_ + 3 <= t_.size() && upper(t_[i_]) == 'S' && upper(t_[i_ + 1]) == 'E' &&
        upper(t_[i_ + 2]) == 'T') {
      return set_reference(op, node);
    }
    if (i_ >= t_.size() || t_[i_] == ')') return kQuerySyntax;  // an empty element
    QueryTerm term;
    if (const ResultCode rc = term_text(term, false); rc.failed()) return rc;
    if (out_.terms.size() >= max_) return kTooManyElements;
    out_.terms.push_back(std::move(term));
    return add_node(op, 'A', out_.terms.size() - 1, node);
  }

  ResultCode set_reference(char op, int& node) {
    i_ += 3;
    skip_blanks();
    if (i_ >= t_.size() || t_[i_] != '=') return kQuerySyntax;
    ++i_;
    skip_blanks();
    bool paren = false;
    if (i_ < t_.size() && t_[i_] == '(') {
      paren = true;
      ++i_;
      skip_blanks();
    }
    std::uint64_t number = 0;
    const std::size_t digits = i_;
    while (i_ < t_.size() && std::isdigit(static_cast<unsigned char>(t_[i_])) != 0) {
      if (number < 0xFFFFFFFFull) number = number * 10 + static_cast<unsigned>(t_[i_] - '0');
      ++i_;
    }
    if (i_ == digits || number == 0) return kQuerySyntax;
    // The rest up to the next operator is skipped; a "(" after "=" takes
    // its ")" with it.
    while (i_ < t_.size() && operator_at(i_) == 0) {
      if (t_[i_] == ')') {
        if (!paren) break;
        paren = false;
      }
      ++i_;
    }
    if (paren) return kQuerySyntax;
    if (out_.sets.size() >= max_) return kTooManyElements;
    out_.sets.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(number, 0xFFFFFFFFull)));
    return add_node(op, 'L', out_.sets.size() - 1, node);
  }

  // The length of an aspect at i_ when one stands there (followed by
  // blanks and a comparison), else 0.
  std::size_t aspect_length() const {
    if (i_ + 3 > t_.size()) return 0;
    std::size_t len = 3;
    if (mode_ == 'F') {
      for (std::size_t k = 0; k < 3; ++k) {
        const char c = t_[i_ + k];
        if (static_cast<unsigned char>(c) <= ' ' || starts_comparison(c) || c == '(' || c == ')' || c == '"')
          return 0;
      }
      if (i_ + 4 < t_.size() && t_[i_ + 3] == '$' && static_cast<unsigned char>(t_[i_ + 4]) > ' ') len = 5;
    } else if (!is_letter(t_[i_])) {
      return 0;
    }
    std::size_t k = i_ + len;
    while (k < t_.size() && t_[k] == ' ') ++k;
    return k < t_.size() && starts_comparison(t_[k]) ? len : 0;
  }

  // Aspect, comparison, value and range of one term. `whole`: the value is
  // the rest of the text (single-term modes).
  ResultCode term_text(QueryTerm& term, bool whole) {
    bool has_aspect = false;
    bool has_comparison = false;
    if (const std::size_t len = aspect_length(); len != 0) {
      term.aspect.assign(t_.substr(i_, len));
      if (mode_ != 'F') {
        for (char& c : term.aspect) c = upper(c);
      }
      i_ += len;
      skip_blanks();
      has_aspect = true;
    }
    int open = 0;
    if (i_ < t_.size() && starts_comparison(t_[i_])) {
      has_comparison = true;
      while (i_ < t_.size()) {
        const char c = t_[i_];
        if (c == ' ') {
          ++i_;
        } else if (c == '(') {
          ++open;
          ++i_;
        } else if (c == '=') {
          term.comparison = Comparison::Equal;
          ++i_;
        } else if (c == '<' || c == '>') {
          const bool equal = i_ + 1 < t_.size() && t_[i_ + 1] == '=';
          term.comparison = c == '<' ? (equal ? Comparison::LessEqual : Comparison::Less)
                                     : (equal ? Comparison::GreaterEqual : Comparison::Greater);
          i_ += equal ? 2 : 1;
        } else {
          break;
        }
      }
    }
    if (has_aspect) {
      last_aspect_ = term.aspect;
    } else if (has_comparison) {
      term.aspect = last_aspect_;
    } else {
      term.aspect = compared_aspect_;
      term.comparison = last_comparison_;
    }
    if (has_comparison) {
      compared_aspect_ = term.aspect;
      last_comparison_ = term.comparison;
    }
    if (whole) {
      std::string_view rest = t_.substr(i_);
      while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
      term.value.assign(rest);
      i_ = t_.size();
      return 0;
    }
    if (const ResultCode rc = value(term.value, open, true); rc.failed()) return rc;
    if (i_ + 3 <= t_.size() && t_.substr(i_, 3) == " < ") {
      i_ += 3;
      skip_blanks();
      term.range = true;
      if (const ResultCode rc = value(term.second, open, false); rc.failed()) return rc;
    }
    return open == 0 ? ResultCode(0) : ResultCode(kQuerySyntax);
  }

  // One value: a quoted part first when it starts with a double quote, then
  // up to an operator, " < " (when `first`) or a ")"; a ")" that closes one
  // of the `open` parentheses is taken.
  ResultCode value(std::string& out, int& open, bool first) {
    const std::size_t start = i_;
    if (i_ < t_.size() && t_[i_] == '"') {
      std::size_t q = i_ + 1;
      for (;; ++q) {
        if (q >= t_.size()) return kQuerySyntax;  // no closing quote
        if (t_[q] != '"') continue;
        if (q + 1 < t_.size() && t_[q + 1] == '"') {
          ++q;
          continue;
        }
        break;
      }
      i_ = q + 1;
    }
    while (i_ < t_.size()) {
      if (operator_at(i_) != 0) break;
      if (first && t_.substr(i_, 3) == " < ") break;
      if (t_[i_] == ')') break;
      ++i_;
    }
    std::string_view v = t_.substr(start, i_ - start);
    while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
    out.assign(v);
    while (open > 0 && i_ < t_.size() && t_[i_] == ')') {
      ++i_;
      --open;
      while (i_ < t_.size() && t_[i_] == ' ' && operator_at(i_) == 0 && t_.substr(i_, 3) != " < ") ++i_;
    }
    return 0;
  }

  ResultCode single_term() {
    skip_blanks();
    QueryTerm term;
    if (const ResultCode rc = term_text(term, true); rc.failed()) return rc;
    out_.terms.push_back(std::move(term));
    int node = -1;
    return add_node('R', 'A', 0, node);
  }
};

}  // namespace

std::string_view comparison_text(Comparison c) {
  switch (c) {
    case Comparison::Less: return "<";
    case Comparison::LessEqual: return "<=";
    case Comparison::Greater: return ">";
    case Comparison::GreaterEqual: return ">=";
    case Comparison::Equal: break;
  }
  return "=";
}

ResultCode qry_parse(char mode, std::string_view text, ParsedQuery& out, std::size_t max_elements) {
  return Parser(mode, text, out, max_elements).run();
}

}  // namespace corvanta::records
