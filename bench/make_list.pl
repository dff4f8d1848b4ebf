#!/usr/bin/perl
# Writes a download list of N realistic downloads as a .reg file for
# `reg import`: one subkey per download below the list key, named by a
# 32-hex-digit id, with a URL of 40-200 bytes, a Windows output path, a
# size (now and then 0xFFFFFFFF, unknown) and a short description. The same
# N always gives the same file. With --hive the same list is written as the
# hive of a 64-bit Wine prefix (system.reg), in its 32-bit view, for the
# native build to read without Wine.
#
#   make_list.pl N > list.reg
#   make_list.pl --hive N > prefix/system.reg
use strict;
use warnings;

my $hive = @ARGV && $ARGV[0] eq '--hive' ? shift : 0;
my $n = shift // die "usage: make_list.pl [--hive] N\n";
srand(20240611 + $n);

my @hosts = qw(download.example.org mirror.example.net cdn.files.example.com
               releases.example.io ftp.example.edu static.example.co.uk);
my @dirs = qw(pub releases dist downloads files archive media builds stable v2);
my @words = qw(setup installer release notes video lecture podcast episode
               backup photos driver update firmware manual report dataset
               archive source build tools image disk music album trailer);
my @exts = qw(zip exe iso mp4 pdf tar.gz msi mp3 7z dmg);
my @folders = ('Downloads', 'Downloads\\Video', 'Downloads\\Software', 'Documents',
               'Downloads\\Music', 'Desktop');

sub pick { $_[int(rand(@_))] }
sub words { join($_[1], map { pick(@words) } 1 .. $_[0]) }
sub reg_string { my $s = shift; $s =~ s/\\/\\\\/g; $s =~ s/"/\\"/g; "\"$s\"" }

# A key line: .reg names the root key; a hive doubles the backslashes and
# gives each key a time, and keeps the list's keys in name order.
my @hive_keys;
sub key_line {
  my $path = shift;
  return "[HKEY_LOCAL_MACHINE\\Software\\Tesmora\\Orvalink\\FileList$path]\n" unless $hive;
  (my $doubled = "Software\\Wow6432Node\\Tesmora\\Orvalink\\FileList$path") =~ s/\\/\\\\/g;
  return "[$doubled] 0\n";
}

print $hive ? "WINE REGISTRY Version 2\n#arch=win64\n\n" : "REGEDIT4\n\n";
print key_line(''), "\n";
my @items;
for my $i (1 .. $n) {
  my $id = join '', map { sprintf '%04x', int(rand(65536)) } 1 .. 8;
  my $file = words(1 + int(rand(3)), '-') . '-' . int(rand(1000)) . '.' . pick(@exts);
  my $path = join '/', map { pick(@dirs) } 1 .. 1 + int(rand(4));
  my $url = 'https://' . pick(@hosts) . "/$path/$file";
  $url .= '?token=' . join('', map { sprintf '%x', int(rand(16)) } 1 .. int(rand(64)))
    if rand() < 0.4;
  my $out = 'C:\\Users\\user\\' . pick(@folders) . '\\' . $file;
  my $size = rand() < 0.05 ? 0xFFFFFFFF : int(rand(2**31));
  my $description = ucfirst(words(2 + int(rand(8)), ' '));
  push @items, [$id, key_line("\\$id") .
                     sprintf("\"Item_MainURL\"=%s\n", reg_string($url)) .
                     sprintf("\"Item_OutputFilename\"=%s\n", reg_string($out)) .
                     sprintf("\"Item_Size\"=dword:%08x\n", $size) .
                     sprintf("\"Item_Description\"=%s\n\n", reg_string($description))];
}
@items = sort { $a->[0] cmp $b->[0] } @items if $hive;
print $_->[1] for @items;
