// Small helpers of the serial engine: descriptor clean-up and the wake-up
// descriptor its threads wait on beside the tty.
#pragma once

// Closes `fd` when it is valid and marks it invalid (-1).
void SafeCloseHandle(int& fd);

// A counter descriptor (eventfd) that a thread polls beside the tty: any
// thread may signal it, the waiting thread drains it after each wake-up.
class TAfWakeFd {
 public:
  TAfWakeFd();  // throws std::system_error when no descriptor is left
  ~TAfWakeFd();
  TAfWakeFd(const TAfWakeFd&) = delete;
  TAfWakeFd& operator=(const TAfWakeFd&) = delete;

  void Signal();
  void Drain();
  int Fd() const { return FFd; }

 private:
  int FFd = -1;
};
