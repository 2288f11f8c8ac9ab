# console_key: the console's one-key read without echo (the quit prompt of the bench).
add_library(console_key STATIC ${CMAKE_CURRENT_LIST_DIR}/console_key.cpp)
