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
    // Stored profiles kept per login; older ones are removed.
    'keep' => 10,
    // Failed logins from one address before each further try must wait, 30 s at first and
    // doubling up to 15 minutes. Failures are forgotten after an hour without one.
    'free_failures' => 5,
];
