# .NET solution migration: text stages, parsing and the run over temporary trees.
kv_gtest(dotnet_test SOURCES dotnet_test.cpp test_util.cpp LIBS kvdotnet)
