/* curlbench: the in-process peer of znbench. A C host on libcurl, the way an
 * application that does not use this library would fetch the same URLs, so
 * that bench/run compares the library with libcurl itself rather than with the
 * curl program's progress meter and output writes.
 *
 *   curlbench file   URL FILE    download URL into FILE
 *   curlbench stream URL         download URL through a write callback that drops the bytes
 *   curlbench get    URL COUNT   COUNT sequential GETs of URL on one easy handle (one connection)
 *   curlbench many   URL COUNT   COUNT transfers of URL at once on one multi handle, bodies dropped
 *
 * HTTPS is not verified (the benchmark's certificate is made on the spot), as
 * znbench does not verify either. Exit status: 0 done, 1 a transfer failed or
 * delivered no bytes, 64 bad arguments.
 *
 * Single-threaded: every transfer runs on the calling thread. */
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kExitOk = 0, kExitTransfer = 1, kExitUsage = 64 };

static const char kUsage[] =
    "usage: curlbench file URL FILE | stream URL | get URL COUNT | many URL COUNT\n";

/* The write callback of every discarding transfer: counts and drops. */
static size_t Discard(char* data, size_t size, size_t n, void* tally) {
  (void)data;
  *(unsigned long long*)tally += size * n;
  return size * n;
}

static void Configure(CURL* easy, const char* url) {
  curl_easy_setopt(easy, CURLOPT_URL, url);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
}

static int Failed(CURLcode rc, const char* what) {
  fprintf(stderr, "curlbench: %s: %s\n", what, curl_easy_strerror(rc));
  return kExitTransfer;
}

static int RunFile(const char* url, const char* path) {
  FILE* f = fopen(path, "wb");
  if (!f) {
    perror(path);
    return kExitTransfer;
  }
  CURL* easy = curl_easy_init();
  Configure(easy, url);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, f); /* libcurl's default callback writes with fwrite */
  const CURLcode rc = curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  if (fclose(f) != 0 || rc != CURLE_OK) return rc != CURLE_OK ? Failed(rc, "file") : kExitTransfer;
  return kExitOk;
}

static int RunStream(const char* url) {
  unsigned long long bytes = 0;
  CURL* easy = curl_easy_init();
  Configure(easy, url);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &bytes);
  const CURLcode rc = curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  if (rc != CURLE_OK) return Failed(rc, "stream");
  printf("curlbench: stream %s: %llu bytes\n", url, bytes);
  return bytes ? kExitOk : kExitTransfer;
}

static int RunGets(const char* url, long count) {
  unsigned long long bytes = 0;
  CURL* easy = curl_easy_init();
  Configure(easy, url);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &bytes);
  for (long i = 0; i < count; ++i) {
    const CURLcode rc = curl_easy_perform(easy); /* the handle keeps its connection */
    if (rc != CURLE_OK) {
      curl_easy_cleanup(easy);
      return Failed(rc, "get");
    }
  }
  curl_easy_cleanup(easy);
  printf("curlbench: get %s x %ld: %llu body bytes\n", url, count, bytes);
  return bytes ? kExitOk : kExitTransfer;
}

static int RunMany(const char* url, long count) {
  CURLM* multi = curl_multi_init();
  CURL** easies = calloc((size_t)count, sizeof(CURL*));
  unsigned long long* tallies = calloc((size_t)count, sizeof(unsigned long long));
  if (!multi || !easies || !tallies) return kExitTransfer;
  /* Every transfer gets a connection of its own at once, as many clients do. */
  curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, 0L);
  for (long i = 0; i < count; ++i) {
    easies[i] = curl_easy_init();
    Configure(easies[i], url);
    curl_easy_setopt(easies[i], CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(easies[i], CURLOPT_WRITEDATA, &tallies[i]);
    curl_easy_setopt(easies[i], CURLOPT_FRESH_CONNECT, 1L);
    curl_multi_add_handle(multi, easies[i]);
  }
  int running = 1;
  int failures = 0;
  while (running) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    if (running) curl_multi_poll(multi, NULL, 0, 1000, NULL);
    CURLMsg* msg;
    int left;
    while ((msg = curl_multi_info_read(multi, &left)) != NULL) {
      if (msg->msg == CURLMSG_DONE && msg->data.result != CURLE_OK) {
        ++failures;
        fprintf(stderr, "curlbench: many: %s\n", curl_easy_strerror(msg->data.result));
      }
    }
  }
  unsigned long long bytes = 0;
  for (long i = 0; i < count; ++i) {
    bytes += tallies[i];
    if (tallies[i] == 0) ++failures;
    curl_multi_remove_handle(multi, easies[i]);
    curl_easy_cleanup(easies[i]);
  }
  curl_multi_cleanup(multi);
  free(easies);
  free(tallies);
  printf("curlbench: many %s x %ld: %llu body bytes, %d failed\n", url, count, bytes, failures);
  return failures ? kExitTransfer : kExitOk;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  const char* mode = argv[1];
  const char* url = argv[2];
  const long count = argc > 3 ? atol(argv[3]) : 0;
  int rc = kExitUsage;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  if (strcmp(mode, "file") == 0 && argc == 4) rc = RunFile(url, argv[3]);
  if (strcmp(mode, "stream") == 0 && argc == 3) rc = RunStream(url);
  if (strcmp(mode, "get") == 0 && argc == 4 && count > 0) rc = RunGets(url, count);
  if (strcmp(mode, "many") == 0 && argc == 4 && count > 0) rc = RunMany(url, count);
  curl_global_cleanup();
  if (rc == kExitUsage) fputs(kUsage, stderr);
  return rc;
}
