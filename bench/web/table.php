<?php
// The twin of table.vra: the same bytes, the same work.
$items = [];
for ($i = 1; $i <= 200; $i++) $items[$i] = "Item <" . $i . "> & \"" . ($i * $i) . "\"";
function row($n) {
    global $items;
    echo "<tr><td>", $n, "</td><td>", '<input type="hidden" name="cell" value="',
        htmlspecialchars($items[$n], ENT_COMPAT), '">', "</td></tr>\n";
}
echo "<html><body><h1>Items</h1>\n<form>", '<input type="hidden" name="q" value="',
    htmlspecialchars($_GET['q'] ?? '', ENT_COMPAT), '">', "</form>\n<table>\n";
for ($i = 1; $i <= 200; $i++) row($i);
echo "</table></body></html>\n";
