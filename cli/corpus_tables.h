// The corpus's merged tables. Each conversation's run leaves its rows of
// every table in a file of its own (conversationRows); the merge puts them
// together in the plan's order, so the tables are the same bytes whichever
// order, machine or shard the conversations were run in.
//
//   speakers.csv       one row per conversation and speaker
//   conversations.csv  one row per conversation
//   transitions.csv    one row per floor transfer (offset: gap positive,
//                      overlap negative)
#pragma once

#include <string>
#include <vector>

#include "conversation.h"
#include "corpus_plan.h"

namespace loquant::cli::corpus {

// The header lines of the three tables.
extern const char* const kSpeakersHeader;
extern const char* const kConversationsHeader;
extern const char* const kTransitionsHeader;

// The rows of `conversation` (the analysis of `item`) for every table, each
// line starting with the table's name and a comma ("speakers,...").
// Speakers are named as the plan names them, else as the analysis does.
std::string conversationRows(const WorkItem& item, const Conversation& conversation);

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text);

struct MergedTables {
  std::string speakers, conversations, transitions, rttm;
  std::vector<std::string> missing;  // conversations without outputs, by id
};

// Merges the rows and RTTM files of the plan's conversations found in
// `folder` (their output folder), in the plan's order.
MergedTables mergeTables(const Plan& plan, const std::string& folder);

}  // namespace loquant::cli::corpus
