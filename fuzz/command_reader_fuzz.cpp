// libFuzzer target: the service's command reader. The input is what a local client sends on one
// connection; it arrives over a socket pair at the service's real per-connection loop
// (ConnectionThread, ProcessCommand, every command's reading and answering, the drive slots' real
// CloseDrive, OstrinReadDir and AbortOpen), until the end of the stream ends the connection. Where
// OstrinOpenDrive would start a scan, a stand-in takes the job instead: it holds the request as the
// thread table would hold a thread (and refuses one more than the open jobs have entries, as a full
// table does) and starts nothing.
#include <cstdint>
#include <memory>
#include <vector>

#include "common/sock_stream.h"
#include "common/timeouts.h"
#include "fuzz/fuzz_support.h"
#include "index/drive_slots.h"
#include "service/command_server.h"
#include "service/ostrin_service.h"

// The drive slots and the server read their timings from the program; the fuzz target runs with
// the fixed ones.
const CServiceTimings& ServiceTimings() {
  static const CServiceTimings timings;
  return timings;
}

namespace {

// Longer inputs add nothing new but time: every command is a few words.
constexpr size_t MAX_STREAM_BYTES = 4 * 1024;

std::vector<std::unique_ptr<OpenDriveRequest>>& HeldJobs() {
  static std::vector<std::unique_ptr<OpenDriveRequest>> jobs;
  return jobs;
}

bool HoldOpenJob(std::unique_ptr<OpenDriveRequest> request) {
  if (HeldJobs().size() >= OPEN_JOB_ENTRIES) return false;
  HeldJobs().push_back(std::move(request));
  return true;
}

COstrinService& Service() {
  static COstrinService* service = [] {
    SetOpenJobStarter(&HoldOpenJob);
    auto* made = new COstrinService;  // lives as long as the process
    made->running = true;
    return made;
  }();
  return *service;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  COstrinService& service = Service();
  ostrin::fuzz::CPeerPair peer(data, std::min(size, MAX_STREAM_BYTES));
  auto stream = std::make_unique<CSockStream>(ESockSide::Service);
  stream->handle.Reset(peer.Ours());
  auto connection = std::make_shared<CConnection>(std::move(stream));
  ConnectionThread(service, connection, ostrin::platform::CLocalUser::OfThisProcess());
  // The jobs would have found the connection closed; they go with it.
  HeldJobs().clear();
  return 0;
}
