// Sorting and filtering of the runs table; the cards follow the table's order and filter.
(function () {
  "use strict";
  var table = document.getElementById("runs");
  var body = table.tBodies[0];
  var rows = Array.prototype.slice.call(body.rows);
  var cards = document.getElementById("cards");
  var statusFilter = document.getElementById("status-filter");
  var outlierFilter = document.getElementById("outlier-filter");
  var partFilter = document.getElementById("part-filter");
  var textFilter = document.getElementById("text-filter");
  var shown = document.getElementById("shown");
  var attribute = { name: "name", status: "statusRank", reason: "reason", fix: "fix", part: "part",
                    confidence: "confidence", voxels: "voxels", outlier: "outlier", error: "error" };

  function value(row, key, type) {
    var raw = row.dataset[attribute[key]] || "";
    if (type === "number") {
      return raw === "" ? null : Number(raw);
    }
    if (raw === "" && key === "part") { return null; }  // tables that agree with themselves sort last
    return raw.toLowerCase();
  }

  function sortBy(header) {
    var key = header.dataset.key, type = header.dataset.type;
    var descending = header.getAttribute("aria-sort") === "ascending";
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (cell) { cell.removeAttribute("aria-sort"); });
    header.setAttribute("aria-sort", descending ? "descending" : "ascending");
    var order = rows.map(function (row, i) { return { row: row, i: i, v: value(row, key, type) }; });
    order.sort(function (a, b) {
      if (a.v === b.v) { return a.i - b.i; }
      if (a.v === null) { return 1; }   // blanks last either way
      if (b.v === null) { return -1; }
      var c = a.v < b.v ? -1 : 1;
      return descending ? -c : c;
    });
    var fragment = document.createDocumentFragment();
    var cardFragment = document.createDocumentFragment();
    order.forEach(function (entry) {
      fragment.appendChild(entry.row);
      cardFragment.appendChild(document.getElementById(entry.row.dataset.run));
    });
    body.appendChild(fragment);
    cards.appendChild(cardFragment);
  }

  function filter() {
    var status = statusFilter.value, outliers = outlierFilter.checked, parts = partFilter.checked;
    var text = textFilter.value.trim().toLowerCase();
    var count = 0;
    rows.forEach(function (row) {
      var visible = (!status || row.dataset.status === status) && (!outliers || row.dataset.outlier === "1") &&
        (!parts || row.dataset.part !== "") && (!text || row.textContent.toLowerCase().indexOf(text) >= 0);
      row.hidden = !visible;
      document.getElementById(row.dataset.run).hidden = !visible;
      if (visible) { count += 1; }
    });
    shown.textContent = count + " of " + rows.length + " runs shown";
  }

  Array.prototype.forEach.call(table.tHead.rows[0].cells, function (header) {
    header.querySelector("button").addEventListener("click", function () { sortBy(header); });
  });
  statusFilter.addEventListener("change", filter);
  outlierFilter.addEventListener("change", filter);
  partFilter.addEventListener("change", filter);
  textFilter.addEventListener("input", filter);
  filter();
})();
