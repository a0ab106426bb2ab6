// The child program of the platform tests.
//   platform_child sleep MS        sleeps MS milliseconds, ends with 0
//   platform_child stop-requests N  counts stop requests: "ready" once it
//                                   listens, "count K" at each new count;
//                                   ends with 0 at N, 1 after 60 s without
#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "platform/signals.h"

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const int number = argc > 2 ? std::stoi(argv[2]) : 0;
  if (mode == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(number));
    return 0;
  }
  if (mode == "stop-requests") {
    tessarin::StopRequests requests;
    std::cout << "ready" << std::endl;
    int seen = 0;
    while (seen < number) {
      const int count = requests.WaitForMore(seen, std::chrono::seconds(60));
      if (count == seen) return 1;
      seen = count;
      std::cout << "count " << seen << std::endl;
    }
    return 0;
  }
  std::cerr << "usage: platform_child sleep MS | stop-requests N\n";
  return 2;
}
