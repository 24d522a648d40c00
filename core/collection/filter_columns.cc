#include "core/collection/filter_columns.h"

#include <algorithm>

#include "core/collection/collection.h"

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
    const auto nodes =
        static_cast<uint32_t>(std::min<size_t>(index.node_count, index.deleted.size()));
    const size_t ids = data.internal_to_uuid.size();
    if (!built_) live_.assign(ids, 0);
    for (std::vector<StoredField>* column : missing) column->assign(ids, StoredField{});
    for (const auto& [uuid, document] : data.documents) {
      const auto internal = data.uuid_to_internal.find(uuid);
      if (internal == data.uuid_to_internal.end()) continue;
      const uint32_t id = internal->second;
      if (id >= nodes || id >= ids || index.deleted[id] != 0 || data.internal_to_uuid[id] != uuid) {
        continue;
      }
      live_[id] = 1;
      for (size_t f = 0; f < missing.size(); ++f) {
        const auto found = document->metadata.find(*missing_names[f]);
        if (found != document->metadata.end()) (*missing[f])[id] = StoredField::of(&found->second);
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
