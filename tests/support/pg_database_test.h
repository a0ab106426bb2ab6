// A test on a database of its own on the shared throwaway PostgreSQL server;
// skipped, saying why, where the server's programs are not installed.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/pg_test_server.h"

namespace tessarin::testing {

class PgDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    bool missing = false;
    m_server = SharedPgTestServer(&error, &missing);
    if (missing) GTEST_SKIP() << error;
    ASSERT_TRUE(m_server) << error;
    m_db = m_server->FreshDatabase(&error);
    ASSERT_FALSE(m_db.empty()) << error;
    m_uri = m_server->Uri(m_db);
  }
  void TearDown() override {
    if (m_server && !m_db.empty()) m_server->DropDatabase(m_db);
  }

  /// Runs SQL on the test's database; fails the test when it fails.
  void Sql(const std::string& sql) {
    std::string error;
    EXPECT_TRUE(m_server->Execute(m_db, sql, &error)) << sql << ": " << error;
  }
  /// The first field of the first row of a query on the test's database.
  std::string Field(const std::string& sql) {
    std::string error;
    const auto rows = m_server->Rows(m_db, sql, &error);
    EXPECT_TRUE(rows) << sql << ": " << error;
    return rows && !rows->empty() && !rows->front().empty() ? rows->front().front() : "";
  }
  /// The first two fields of every row, the first as the key.
  std::map<std::string, std::string> Pairs(const std::string& sql) {
    std::string error;
    std::map<std::string, std::string> pairs;
    const auto rows = m_server->Rows(m_db, sql, &error);
    EXPECT_TRUE(rows) << sql << ": " << error;
    if (rows) {
      for (const auto& row : *rows) pairs[row.at(0)] = row.size() > 1 ? row[1] : "";
    }
    return pairs;
  }

  PgTestServer* m_server = nullptr;
  std::string m_db;
  std::string m_uri;
};

}  // namespace tessarin::testing
