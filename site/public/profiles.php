<?php
// How memberbankupload.php stores a member's profiles and keeps them within the member's budget.

declare(strict_types=1);

// The profile's name from X-Rostrel-Profile when it has the program's form; null otherwise.
function profile_name(mixed $value): ?string
{
    if (!is_string($value) || strlen($value) > 200 || !preg_match('//u', $value) || str_contains($value, '..')) {
        return null;
    }
    $parts = explode('/', $value);
    $valid = preg_match('/^[A-Za-z0-9_]{0,40}$/', $parts[0])
        && (count($parts) === 3 || (count($parts) === 2 && preg_match('/^account-([0-9a-f]{8}|[1-9][0-9]{0,3})$/', $parts[1])));
    foreach (array_slice($parts, 1) as $part) {
        $valid = $valid && $part !== '' && !preg_match('/[\x00-\x1f\x7f\\\\:*?"<>|]/', $part);
    }
    return $valid ? $value : null;
}

// Stores the profile as TIME-RANDOM[.NAME].lua through a temporary file and a rename. TIME is when
// the request reached this script, so the names sort by arrival: the newest of a character is the
// last of its name however long a larger one sent before it took to store. A member's uploads are
// stored and tidied one at a time. Null when stored; else the status, the answer and a log line.
function store_profile(array $config, string $login, string $uploaded, int $size, ?string $name): ?array
{
    if ($size > $config['bytes_per_member']) {
        return [413, "The profile is larger than this site keeps per member ({$config['bytes_per_member']} bytes).",
            "refused $size bytes (over bytes_per_member)"];
    }
    $free = @disk_free_space($config['data_dir']);
    if ($free !== false && $free - $size < $config['min_free_bytes']) {
        return [507, 'The site is short of disk space; try again later.', "refused $size bytes (the disk nearly full)"];
    }
    $failed = [500, 'The site could not store the profile.', 'could not store a profile'];
    $dir = $config['data_dir'] . '/profiles/' . safe_name($login);
    if (!is_dir($dir) && !@mkdir($dir, 0700, true) && !is_dir($dir)) {
        return $failed;
    }
    $lock = @fopen($dir . '/.lock', 'c');
    if ($lock === false || !flock($lock, LOCK_EX)) {
        return $failed;
    }
    $arrived = (float) ($_SERVER['REQUEST_TIME_FLOAT'] ?? microtime(true));
    $file = gmdate('Ymd-His', (int) $arrived) . sprintf('-%06d-', min(999999, (int) (fmod($arrived, 1) * 1e6)))
        . bin2hex(random_bytes(4)) . ($name === null ? '' : '.' . safe_name($name)) . '.lua';
    $temporary = $dir . '/.' . $file . '.part';
    if (!move_uploaded_file($uploaded, $temporary) || !rename($temporary, $dir . '/' . $file)) {
        @unlink($temporary);
        return $failed;
    }
    tidy($config, $dir, $file);
    fclose($lock);
    return null;
}

// Of unnamed profiles (older programs) keeps the newest `keep`, as the kit always did; past
// profiles_per_member names, the names not uploaded for longest go whole. Then, while the member
// holds more than bytes_per_member, older profiles of a name go, oldest first, and after them
// whole names and unnamed profiles, those uploaded longest ago first. The one just stored stays.
function tidy(array $config, string $dir, string $stored): void
{
    $names = ['' => []];
    foreach (glob($dir . '/*.lua') ?: [] as $file) {
        $parts = explode('.', basename($file));
        $names[count($parts) === 3 ? $parts[1] : ''][] = $file;
    }
    sort($names['']);
    $gone = array_slice($names[''], 0, max(0, count($names['']) - $config['keep']));
    // Each unnamed profile left counts as a name of its own.
    foreach (array_slice($names[''], count($gone)) as $file) {
        $names[basename($file)] = [$file];
    }
    unset($names['']);
    $newest = [];
    foreach ($names as $name => &$files) {
        sort($files);
        $newest[$name] = basename(end($files));
    }
    unset($files);
    asort($newest);
    $named = array_filter(array_keys($newest), fn ($name): bool => !str_ends_with((string) $name, '.lua'));
    foreach (array_slice($named, 0, max(0, count($named) - $config['profiles_per_member'])) as $name) {
        array_push($gone, ...$names[$name]);
        unset($names[$name], $newest[$name]);
    }
    $sizes = [];
    $older = [];
    foreach ($names as $files) {
        foreach ($files as $index => $file) {
            $sizes[$file] = (int) @filesize($file);
            if ($index < count($files) - 1) {
                $older[basename($file)] = [$file];
            }
        }
    }
    ksort($older);
    $total = array_sum($sizes);
    $whole = array_map(fn ($name): array => $names[$name], array_keys($newest));
    foreach ([...array_values($older), ...$whole] as $files) {
        if ($total <= $config['bytes_per_member']) {
            break;
        }
        if (in_array($dir . '/' . $stored, $files, true)) {
            continue;
        }
        foreach ($files as $file) {
            if (!in_array($file, $gone, true)) {
                $gone[] = $file;
                $total -= $sizes[$file];
            }
        }
    }
    foreach ($gone as $file) {
        @unlink($file);
    }
}
