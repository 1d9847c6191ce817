// Collects the engine's message lines as groups, each closed with a status,
// and sends all finished groups to the client in one event at the control
// loop's fixed points. Printing threads add and close groups; the server
// thread sends or clears them; one lock guards everything.
//
// Every line of the engine passes here, so here a group repeated within a
// run step is counted rather than kept (the step's end tells the count),
// and the lines held for the client are bounded: while the connection to
// the client still has output waiting, finished groups stay here, and
// beyond a small bound the oldest ordinary groups are dropped (beyond a
// large one whether or not the client keeps up); the next send says how
// many lines went, ahead of the lines held. The newest lines are kept
// because they say how a flood ended (a step's bound, its repeat counts).
// Failed groups are held apart, against the large bound only: they are
// what the client most needs; so are the lines that say how a piece of
// work ended, against no bound. Those of a later piece of work (a run
// command) wait here while the client has not taken the ones before them,
// and a later one's replace them: one line says how many went, so a client
// that sends commands and reads nothing holds one list in the engine, not
// one for each command. Neighbouring groups of one status leave as one
// event, so that a burst of short groups does not fill the connection with
// small frames.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "foundation/messages/messages_handler.h"
#include "framework/messaging/sent_mark.h"
#include "platform/critical_section.h"
#include "platform/status.h"

class SputMessageCollector final : public QLNMessagesHandler {
 public:
  // Event code of a message-log group.
  static constexpr std::uint32_t kEventCode = 16;
  // Bytes of finished lines (as on the wire) that one send posts at most:
  // what the connection of a reader that has just read takes at once, so
  // that a reply sent after them is not held up by more than one read.
  static constexpr std::size_t kMostSentAtOnce = 128 * 1024;
  // Bytes of finished lines held for the client at most while its
  // connection has output waiting,
  static constexpr std::size_t kMostHeldWhileWaiting = kMostSentAtOnce;
  // and at any time: the memory lines may take between two sends.
  static constexpr std::size_t kMostHeldBytes = 16 * 1024 * 1024;

  // Becomes the process-wide collector. Lines of a failed group are also
  // written to dialog while a problem manager exists.
  explicit SputMessageCollector(std::FILE* dialog = stdout);
  ~SputMessageCollector();
  SputMessageCollector(const SputMessageCollector&) = delete;
  SputMessageCollector& operator=(const SputMessageCollector&) = delete;

  static SputMessageCollector* Instance();

  std::uint32_t AddText(const char* text) override;
  std::uint32_t EndGroup(Status status) override;
  // A whole group at once: no other thread's line comes between its lines.
  void AddGroup(Status status, std::vector<std::string> texts);
  // Drops every finished group (and the counts of dropped and replaced
  // lines).
  Status ClearGroups();
  // Posts the finished groups, at most kMostSentAtOnce of them (at least
  // one), and forgets them; nothing is posted without a group. While the
  // connection still has output waiting they are held instead, and so are
  // the outcome lines of a later piece of work while the client has not
  // taken those posted before. Server thread only. The status of the post.
  Status SendGroups();
  // All of them, whether or not output is waiting: for lines that must go
  // ahead of what the caller sends next. Outcome lines held as above stay.
  Status SendGroupsNow();
  // All of them, the outcome lines held included: the last lines before
  // the engine ends.
  Status SendGroupsAtEnd();

  // Finished groups waiting to be sent.
  std::int32_t GroupCount();
  // Bytes of the finished groups waiting to be sent, as on the wire.
  std::size_t HeldBytes();

 private:
  struct Group {
    Status status;
    std::size_t bytes;  // as on the wire
    std::vector<std::string> texts;
    std::uint64_t order;  // when it was finished, across both kinds
    // Of outcome lines: the piece of work they end (SuWorkNumber).
    bool outcome = false;
    std::uint64_t work = 0;
  };
  // Finished groups of one kind, oldest first.
  struct Held {
    std::deque<Group> groups;
    std::size_t bytes = 0;
  };

  // Keeps a finished group under the lock, unless it repeats or would pass
  // the bound; true when its lines are to be shown in the dialog.
  bool Keep(Status status, std::vector<std::string>& texts);
  void ShowInDialog(const std::vector<std::string>& texts);
  // Moves the oldest groups of both kinds to `into` in the order they were
  // finished, at most kMostSentAtOnce of them (at least one) unless `all`.
  // Under the lock.
  void TakeOldest(bool all, std::vector<Group>* into);
  // Moves the outcome groups of a later piece of work than those posted
  // last aside, where a later one's replace those held. Under the lock.
  void HoldLaterOutcomes();
  // Once the client has taken those posted last: puts them back among the
  // failed groups, in order. Under the lock.
  void ReleaseLaterOutcomes();
  // A line that counts lines which went, ahead of the groups sent.
  static void TellCount(std::vector<Group>* into, std::string line);
  // `held_too`: the outcome lines held above go whether or not taken.
  Status Send(bool all, bool held_too);
  // Posts them, neighbours of one status as one event.
  Status Post(std::vector<Group> finished);

  platform::CriticalSection lock_;
  std::FILE* dialog_;
  std::vector<std::string> current_;
  Held ordinary_;
  Held failed_;
  std::uint64_t finished_count_ = 0;
  // Whether the last send found output waiting on the connection.
  bool waiting_ = false;
  std::uint64_t dropped_lines_ = 0;
  // Outcome groups held by HoldLaterOutcomes, of one piece of work, and the
  // lines of earlier ones they replaced.
  Held later_;
  std::uint64_t replaced_lines_ = 0;
  // The piece of work whose outcome lines were posted last, and a mark on
  // the event that carried the last of them (server thread).
  std::uint64_t posted_work_ = 0;
  DseSentMark posted_mark_;
};
