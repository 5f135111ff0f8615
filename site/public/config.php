<?php
// Settings of memberbankupload.php. The users file and the data folder must lie outside the web
// root, readable (users) and writable (data) by the user PHP runs as.
return [
    // Made and changed with adduser.php; a JSON object of login => password_hash() hash.
    'users_file' => __DIR__ . '/../private/users.json',
    // Profiles land in <data_dir>/profiles/<login>/; the log and the failed-login records beside.
    'data_dir' => __DIR__ . '/../private/data',
    // Largest request accepted, in bytes: a big character's profile runs to tens of megabytes.
    // PHP's upload_max_filesize and post_max_size (see .user.ini) and the web server's body limit
    // must allow at least this much.
    'max_bytes' => 64 * 1024 * 1024,
    // All a member's profiles together stay within this many bytes (45 characters of 20 MB fit):
    // older profiles go first, then the characters uploaded longest ago. A profile larger than
    // this alone is refused.
    'bytes_per_member' => 1024 * 1024 * 1024,
    // Free space kept on the data folder's disk for the log and the failed-login records: an
    // upload that would leave less is refused (507); logins go on working.
    'min_free_bytes' => 100 * 1024 * 1024,
    // Characters kept per member; past this, the one not uploaded for longest goes.
    'profiles_per_member' => 200,
    // Profiles kept per login from programs that do not say which character they are.
    'keep' => 10,
    // Failed logins from one address before each further try must wait, 30 s at first and
    // doubling up to 15 minutes. Failures are forgotten after an hour without one.
    'free_failures' => 5,
    // Failed-login records kept, one small file per address (or IPv6 /64) that tried a password;
    // past this the oldest go. Records of addresses quiet for an hour go anyway.
    'failure_records' => 1000,
    // Log lines one address without an account may cause per hour; the rest are only counted.
    'log_lines_per_address' => 20,
    // upload.log is renamed to upload.log.1 (replacing it) when it reaches this size.
    'log_bytes' => 10 * 1024 * 1024,
    // Addresses of your reverse proxy or CDN (single addresses or networks such as
    // '203.0.113.0/24'), from which the client's address is taken out of X-Forwarded-For. Leave
    // empty when clients connect to the web server directly: the header is then ignored.
    'trusted_proxies' => [],
];
