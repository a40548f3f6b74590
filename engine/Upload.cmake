# The upload engine: the job record with its worker and send loop, and the transfer speed.
target_sources(korvane_engine PRIVATE
  FtpFilePoster.cpp
  SpeedCalculater.cpp
  WorkerThread.cpp)
