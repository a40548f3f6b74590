#Sources of the drop - area control in the server DLL.
target_sources(Korvane PRIVATE DropTarget.cpp FtpDroper.cpp)
    set_property(SOURCE Korvane.rc APPEND PROPERTY OBJECT_DEPENDS
                 "${CMAKE_CURRENT_SOURCE_DIR}/FtpDroper.rgs;${CMAKE_CURRENT_SOURCE_DIR}/FtpDroper64.rgs")
