#include "core/collection/filter_columns.h"

#include <algorithm>

#include "core/collection/collection.h"
#include "core/common/assert.h"

namespace kestrine {
namespace {

// Adds to `fields` every field that a condition of `filter` names, nested filters included.
void collect_fields(const Filter& filter, std::vector<const std::string*>* fields) {
  for (const auto* list : {&filter.must, &filter.must_not, &filter.should}) {
    for (const FilterCondition& c : *list) {
      if (c.nested) {
        collect_fields(*c.nested, fields);
      } else {
        fields->push_back(&c.field);
      }
    }
  }
}

}  // namespace

bool FilterColumns::Judge::holds(const Compiled& filter, uint32_t id) {
  return filter_holds(filter, [&](const Element& e) {
    return e.nested != nullptr ? holds(*e.nested, id) : field_satisfies(e.column[id], *e.condition);
  });
}

void FilterColumns::Judge::verdicts(const Compiled& filter, size_t n, uint8_t* out) {
  // The verdicts of every element, combined as filter_holds combines them; since judging a
  // condition has no effect, judging all of them gives the verdict that stopping early gives.
  std::vector<uint8_t> element(n);
  const auto judge_element = [&](const Element& e) {
    if (e.nested != nullptr) {
      verdicts(*e.nested, n, element.data());
    } else {
      fields_satisfy({e.column, n}, *e.condition, element.data());
    }
  };
  std::fill_n(out, n, uint8_t{1});
  for (const Element& e : filter.must) {
    judge_element(e);
    for (size_t i = 0; i < n; ++i) out[i] &= element[i];
  }
  for (const Element& e : filter.must_not) {
    judge_element(e);
    for (size_t i = 0; i < n; ++i) out[i] &= element[i] ^ 1;
  }
  if (filter.should.empty()) return;
  std::vector<uint8_t> any(n, 0);
  for (const Element& e : filter.should) {
    judge_element(e);
    for (size_t i = 0; i < n; ++i) any[i] |= element[i];
  }
  for (size_t i = 0; i < n; ++i) out[i] &= any[i];
}

std::vector<uint32_t> FilterColumns::Judge::matching_ids() const {
  const size_t n = live_->size();
  std::vector<uint8_t> verdict(n);
  verdicts(*root_, n, verdict.data());
  std::vector<uint32_t> ids;
  for (size_t id = 0; id < n; ++id) {
    if (((*live_)[id] & verdict[id]) != 0) ids.push_back(static_cast<uint32_t>(id));
  }
  return ids;
}

FilterColumns::Judge FilterColumns::judge(const CollectionData& data, uint64_t version,
                                          const Filter& filter) {
  std::vector<const std::string*> fields;
  collect_fields(filter, &fields);

  std::lock_guard guard(mutex_);
  if (!built_ || version_ != version) {
    columns_.clear();
    built_ = false;
  }
  std::vector<std::vector<StoredField>*> missing;
  std::vector<const std::string*> missing_names;
  for (const std::string* field : fields) {
    auto [column, added] = columns_.try_emplace(*field);
    if (added) {
      missing.push_back(&column->second);
      missing_names.push_back(field);
    }
  }
  if (!built_ || !missing.empty()) {
    // The ids the exact scan considers: those of live documents, checked against the node
    // count, the deletion marks and both id maps, as a walk over the documents would.
    const HnswIndex& index = data.hnsw;
    KESTRINE_ASSERT(index.deleted.size() == index.node_count);  // validated at load
    const uint32_t nodes = index.node_count;
    const size_t ids = data.internal_to_uuid.size();
    if (!built_) live_.assign(ids, 0);
    for (std::vector<StoredField>* column : missing) column->assign(ids, StoredField{});
    for (const DocumentView document : data.all_documents()) {
      const Uuid& uuid = document.key;
      const uint32_t* internal = data.uuid_to_internal.get(uuid);
      if (internal == nullptr) continue;
      const uint32_t id = *internal;
      if (id >= nodes || id >= ids || index.deleted[id] != 0 || data.internal_to_uuid[id] != uuid) {
        continue;
      }
      live_[id] = 1;
      for (size_t f = 0; f < missing.size(); ++f) {
        const auto found = document.metadata.find(*missing_names[f]);
        if (found != document.metadata.end()) (*missing[f])[id] = StoredField::of(&found->second);
      }
    }
    built_ = true;
    version_ = version;
  }

  // Resolves every condition to its column; nested filters get compiled filters of their own.
  Judge judge;
  judge.live_ = &live_;
  const auto compile = [&](const auto& self, const Filter& f) -> const Judge::Compiled* {
    auto compiled = std::make_unique<Judge::Compiled>();
    const auto bind = [&](const std::vector<FilterCondition>& from,
                          std::vector<Judge::Element>& to) {
      to.reserve(from.size());
      for (const FilterCondition& c : from) {
        if (c.nested) {
          to.push_back({nullptr, nullptr, self(self, *c.nested)});
        } else {
          to.push_back({&c, columns_.at(c.field).data(), nullptr});
        }
      }
    };
    bind(f.must, compiled->must);
    bind(f.must_not, compiled->must_not);
    bind(f.should, compiled->should);
    judge.owned_.push_back(std::move(compiled));
    return judge.owned_.back().get();
  };
  judge.root_ = compile(compile, filter);
  return judge;
}

}  // namespace kestrine
