// korvessa's command line without a library: what the options give, and the request record built from them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLine.h"

namespace korvessa {
namespace {

// Parses the words as korvessa's arguments (the program's name first).
Parsed ParseWords(std::vector<std::string> words, Options* o, std::string* err) {
  words.insert(words.begin(), "korvessa");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  return ParseOptions(static_cast<int>(argv.size()), argv.data(), o, err);
}

TEST(KorvessaOptions, HelpStopsTheParseAndBadOptionsSayWhy) {
  Options o;
  std::string err;
  EXPECT_EQ(Parsed::kHelp, ParseWords({"--quiet", "-h", "--bogus"}, &o, &err));
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(Parsed::kUsageError, ParseWords({"--bogus"}, &o, &err));
  EXPECT_EQ("unknown option --bogus", err);
  EXPECT_EQ(Parsed::kUsageError, ParseWords({"--type"}, &o, &err));
  EXPECT_EQ("--type needs a value", err);
  EXPECT_EQ(Parsed::kUsageError, ParseWords({"--amount", "1.234"}, &o, &err));
  EXPECT_EQ("bad amount: 1.234", err);
  EXPECT_EQ(Parsed::kUsageError, ParseWords({"--record", std::string(107, 'x')}, &o, &err));
}

TEST(KorvessaOptions, RequestHasTheRegistersDefaultsAndTheGivenFields) {
  Options o;
  std::string err;
  ASSERT_EQ(Parsed::kRun, ParseWords({"--type", "00", "--amount", "1.5", "--trace", "42"}, &o, &err));
  char request[kRequestSize + 1];
  ASSERT_TRUE(BuildRequest(&o, request, &err)) << err;
  const std::string r(request, kRequestSize);
  EXPECT_EQ("00", r.substr(FindField(RequestFields(), "transType")->off, 2));
  EXPECT_EQ("A0", r.substr(FindField(RequestFields(), "operType")->off, 2));
  EXPECT_EQ("000000000150", r.substr(FindField(RequestFields(), "amount")->off, 12));
  EXPECT_EQ('\0', request[kRequestSize]);

  Options none;
  ASSERT_EQ(Parsed::kRun, ParseWords({"--trace", "42"}, &none, &err));
  EXPECT_FALSE(BuildRequest(&none, request, &err));
  EXPECT_EQ("--type is required", err);
}

TEST(KorvessaOptions, FacadeTakesItsOwnNamesOnly) {
  Options o;
  std::string err;
  ASSERT_EQ(Parsed::kRun, ParseWords({"--put", "a=b", "--type", "00"}, &o, &err));
  EXPECT_TRUE(o.facade);
  char request[kRequestSize + 1];
  ASSERT_TRUE(BuildRequest(&o, request, &err)) << err;
  ASSERT_EQ(2u, o.puts.size());
  EXPECT_EQ("transType", o.puts[0].first);
  EXPECT_EQ("a", o.puts[1].first);

  Options bad;
  ASSERT_EQ(Parsed::kRun, ParseWords({"--facade", "--trace", "42"}, &bad, &err));
  EXPECT_FALSE(BuildRequest(&bad, request, &err));
  EXPECT_EQ("the facade has no field cashTraceNumber", err);
}

}  // namespace
}  // namespace korvessa
