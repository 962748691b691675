#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "src/db_local.h"
#include "src/db_persist/db_persist.h"
#include "tests/support/test_support.h"

namespace {

class LocalStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = dir_.file("local_db.json");
        config_set_filename(path_.c_str());
    }
    void TearDown() override { config_set_filename(nullptr); }

    std::string get(const char *key, int *rc = nullptr)
    {
        char *v = reinterpret_cast<char *>(1);
        int r = config_get_local(key, &v);
        if (rc) *rc = r;
        std::string s = v ? v : "<NULL>";
        free(v);
        return s;
    }

    brx_test::TempDir dir_;
    std::string path_;
};

}  // namespace

TEST(LocalStoreName, DefaultAndCopy)
{
    EXPECT_STREQ(config_get_filename(), "local_db.json");
    std::string name = "/tmp/x.json";
    config_set_filename(name.c_str());
    name[1] = 'Y';
    EXPECT_STREQ(config_get_filename(), "/tmp/x.json");
    config_set_filename(nullptr);
    EXPECT_STREQ(config_get_filename(), "local_db.json");
}

TEST_F(LocalStore, MissingFileIsCreatedEmpty)
{
    int rc = -9;
    EXPECT_EQ(get("networkid", &rc), "<NULL>");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(brx_test::read_file(path_), "{\n}");
    EXPECT_FALSE(brx_test::file_exists(path_ + ".tmp"));
}

TEST_F(LocalStore, RoundTripAndPrintedForm)
{
    EXPECT_EQ(config_set_local("networkid", "42-abcdef"), 0);
    EXPECT_EQ(config_set_local("redisip", "192.168.1.1"), 0);
    EXPECT_EQ(get("networkid"), "42-abcdef");
    EXPECT_EQ(get("redisip"), "192.168.1.1");
    EXPECT_EQ(get("other"), "<NULL>");
    EXPECT_EQ(brx_test::read_file(path_), "{\n\t\"networkid\":\t\"42-abcdef\",\n\t\"redisip\":\t\"192.168.1.1\"\n}");

    /* Replacing keeps one member in its place; a shorter value leaves exactly the new text. */
    EXPECT_EQ(config_set_local("networkid", "7"), 0);
    EXPECT_EQ(brx_test::read_file(path_), "{\n\t\"networkid\":\t\"7\",\n\t\"redisip\":\t\"192.168.1.1\"\n}");

    EXPECT_EQ(config_set_local("networkid", nullptr), 0);
    EXPECT_EQ(brx_test::read_file(path_), "{\n\t\"networkid\":\tnull,\n\t\"redisip\":\t\"192.168.1.1\"\n}");
    int rc = -9;
    EXPECT_EQ(get("networkid", &rc), "<NULL>");
    EXPECT_EQ(rc, 0);

    EXPECT_EQ(config_del_local("networkid"), 0);
    EXPECT_EQ(config_del_local("never-there"), 0);
    EXPECT_EQ(brx_test::read_file(path_), "{\n\t\"redisip\":\t\"192.168.1.1\"\n}");

    /* Non-string members written by someone else read as absent. */
    brx_test::write_file(path_, "{\"n\": 5, \"o\": {}}");
    EXPECT_EQ(get("n", &rc), "<NULL>");
    EXPECT_EQ(rc, 0);
}

TEST_F(LocalStore, SavesReplaceTheFileWithMode0644)
{
    mode_t old = umask(077);
    EXPECT_EQ(config_set_local("networkid", "1"), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_FALSE(brx_test::file_exists(path_ + ".tmp"));
}

TEST_F(LocalStore, DamagedFileFailsEveryCallAndStaysUntouched)
{
    for (const char *content : {"", "{\"networkid\": \"4", "[\"networkid\"]", "\"networkid\"", "null"}) {
        SCOPED_TRACE(content);
        brx_test::write_file(path_, content);
        int rc = 0;
        EXPECT_EQ(get("networkid", &rc), "<NULL>");
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(config_set_local("networkid", "1"), -1);
        EXPECT_EQ(config_del_local("networkid"), -1);
        EXPECT_EQ(brx_test::read_file(path_), content);
    }
}

TEST_F(LocalStore, UnreadableFileIsNeverReplaced)
{
    /* A directory opens but cannot be read; a symlink loop cannot be opened at all. Neither is a
       missing file, so neither may be turned into an empty store. */
    ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
    EXPECT_EQ(config_set_local("networkid", "1"), -1);
    int rc = 0;
    get("networkid", &rc);
    EXPECT_EQ(rc, -1);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(rmdir(path_.c_str()), 0);

    ASSERT_EQ(symlink(path_.c_str(), path_.c_str()), 0);
    EXPECT_EQ(config_set_local("networkid", "1"), -1);
    EXPECT_EQ(config_del_local("networkid"), -1);
    get("networkid", &rc);
    EXPECT_EQ(rc, -1);
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(LocalStore, FailedSaveIsReportedAndKeepsTheOldFile)
{
    ASSERT_EQ(config_set_local("networkid", "old"), 0);
    const std::string before = brx_test::read_file(path_);
    ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0755), 0); /* the new text cannot be written */
    EXPECT_EQ(config_set_local("networkid", "new"), -1);
    EXPECT_EQ(config_del_local("networkid"), -1);
    EXPECT_EQ(brx_test::read_file(path_), before);
    EXPECT_EQ(get("networkid"), "old");

    /* No file and no way to create one. */
    config_set_filename(dir_.file("no/such/dir/db.json").c_str());
    int rc = 0;
    get("networkid", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(config_set_local("networkid", "x"), -1);
}

TEST(DbPersist, NoStorageInThisBuild)
{
    EXPECT_EQ(dbp_init(), -1);
    struct tm now = {};
    EXPECT_EQ(dbp_add_measurement("42-1", DATA_POWER, &now, 12.5), 0);
    EXPECT_EQ(dbp_get_measurements("42-1", DATA_POWER, AGGR_HOUR, &now, &now), nullptr);
    EXPECT_EQ(dbp_get_measurements_from("42-1", DATA_TEMPERATURE, AGGR_DAY, &now), nullptr);
    for (const char *name : {"power", "temperature", "", "x"}) EXPECT_EQ(dbp_datastr_to_type(name), DATA_NONE);
    for (const char *name : {"hour", "day", ""}) EXPECT_EQ(dbp_aggrstr_to_type(name), AGGR_NONE);
    dbp_destroy();
}
