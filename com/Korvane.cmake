# Sources of the upload object in the server DLL.
target_sources(Korvane PRIVATE
  Korvane.cpp
  KorvaneReports.cpp
  KorvaneStart.cpp
  PageThreadDelivery.cpp
  Credential.cpp)
