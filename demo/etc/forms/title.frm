* Sort form 001: the title proper, without the article its second
* indicator counts ("Der Garten" sorts as "Garten").
245$a!2
